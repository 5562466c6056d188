#pragma once

#include "brimvale/integrations/IntentEntities.h"
#include "brimvale/integrations/IntentFailure.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Pasteboard.h"
#include "brimvale/platform/Task.h"
#include "brimvale/platform/UrlOpener.h"

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace corvane {

// The actions automations run without the panel: copy, get, open or show a port, switch a
// share or an environment, pause or resume all sharing. Each intent holds its parameters;
// `perform` runs on the main queue and calls `done` once with the outcome. When the manager is
// gone before the intent could act, `done` is dropped without a call: callers bound their wait.
//
// In summaries and phrases a parameter stands as "{name}".

// What intents use besides the manager.
struct IntentDependencies {
  std::weak_ptr<ServiceManager> manager;
  std::shared_ptr<Pasteboard> pasteboard;
  std::shared_ptr<UrlOpener> opener;
  std::function<void()> openPanel; // opens the panel as the global hot key does
};

// A result value, a dialog, both or neither.
struct IntentResult {
  std::optional<std::string> value;
  std::optional<std::string> dialog;

  bool operator==(const IntentResult &) const = default;
};

using IntentOutcome = std::expected<IntentResult, IntentFailure>;
using IntentDone = std::function<void(IntentOutcome)>;

struct CopyPortAddressIntent {
  static constexpr const char *title = "Copy Port Address";
  static constexpr const char *parameterSummary = "Copy the address of {port}";
  static constexpr const char *portTitle = "Port";

  PortEntity port;

  // The address as the value, "Copied <address>." as the dialog; also on the clipboard.
  Task perform(IntentDependencies dependencies, IntentDone done) const;
};

struct GetConnectionStringIntent {
  static constexpr const char *title = "Get Connection String";
  static constexpr const char *parameterSummary = "Get the connection string for {port}";
  static constexpr const char *portTitle = "Port";
  static constexpr const char *copyTitle = "Copy It";

  PortEntity port;
  bool copy = false;

  // The connection string as the value, no dialog; on the clipboard only when `copy` is set.
  Task perform(IntentDependencies dependencies, IntentDone done) const;
};

struct OpenPortIntent {
  static constexpr const char *title = "Open Port";
  static constexpr const char *parameterSummary = "Open {port}";
  static constexpr const char *portTitle = "Port";

  PortEntity port;

  // Hands the port's URL to the application registered for it; the empty result.
  Task perform(IntentDependencies dependencies, IntentDone done) const;
};

// Brings the application forward with the port: a port that does not exist fails as
// `unknownPort`; any other problem shows as the notice.
struct ShowPortIntent {
  static constexpr const char *title = "Show Port in Corvane";
  static constexpr const char *targetTitle = "Port";
  static constexpr bool opensApplication = true;

  PortEntity target;

  Task perform(IntentDependencies dependencies, IntentDone done) const;
};

// The three switching intents are for this machine's own user only (see IntentBus).
struct SetShareIntent {
  static constexpr const char *title = "Turn a Shared Port On or Off";
  static constexpr const char *parameterSummary = "Turn {share} {state}";
  static constexpr const char *shareTitle = "Shared Port";
  static constexpr const char *stateTitle = "Turn";
  static constexpr bool requiresAuthentication = true;

  ShareEntity share;
  Switch state = Switch::off;

  void perform(IntentDependencies dependencies, IntentDone done) const;
};

struct SetEnvironmentIntent {
  static constexpr const char *title = "Turn an Environment On or Off";
  static constexpr const char *parameterSummary = "Turn {environment} {state}";
  static constexpr const char *environmentTitle = "Environment";
  static constexpr const char *stateTitle = "Turn";
  static constexpr bool requiresAuthentication = true;

  EnvironmentEntity environment;
  Switch state = Switch::off;

  void perform(IntentDependencies dependencies, IntentDone done) const;
};

struct SetSharingPausedIntent {
  static constexpr const char *title = "Pause or Resume Sharing";
  static constexpr const char *parameterSummary = "Turn sharing {state}";
  static constexpr const char *stateTitle = "Sharing";
  static constexpr bool requiresAuthentication = true;

  Switch state = Switch::off;

  void perform(IntentDependencies dependencies, IntentDone done) const;
};

} // namespace corvane
