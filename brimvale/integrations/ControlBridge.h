#pragma once

#include "brimvale/platform/AppGroup.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/UserDefaults.h"

#include <expected>
#include <memory>
#include <optional>
#include <string>

namespace corvane {

// The application's side of the state it shares with the sharing control through the app
// group's defaults: it publishes whether sharing runs and is paused, and takes the control's
// pause or resume request once. Main queue only.
class ControlBridge {
public:
  // Posted by the control when it files a request.
  static constexpr const char *requestNotification = appgroup::requestNotification;
  // Posted by the application so that the control shows the new state.
  static constexpr const char *controlKind = appgroup::controlKind;

  // The app group's domain file.
  ControlBridge();
  explicit ControlBridge(std::shared_ptr<UserDefaults> defaults);

  // Publishes the state, unless a request is pending: then that request is taken instead (as
  // takeControlRequest does) and its state given, for the caller to apply and publish. Gives
  // why when nothing could be saved: the control then still shows the earlier state, and the
  // caller publishes again later.
  std::expected<std::optional<bool>, std::string> publishControlState(bool paused, Date now);
  // The requested paused state when a request newer than the last applied one is pending;
  // taking it marks it applied. While that mark cannot be saved nothing is taken.
  std::optional<bool> takeControlRequest();
  // At quit: the control shows sharing as off until the application runs again.
  void publishStopped();

  UserDefaults &defaults() { return *defaults_; }

private:
  std::shared_ptr<UserDefaults> defaults_;
};

} // namespace corvane
