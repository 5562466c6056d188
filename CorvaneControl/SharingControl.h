#pragma once

#include "CorvaneControl/SharingValue.h"
#include "brimvale/platform/AppGroup.h"

#include <string_view>

namespace corvane {

// The one control: a toggle that shows whether this machine shares its ports, and whose flip
// runs SetSharingFromControl. The application's "reload the controls" is the named
// notification of the control's kind.
struct SharingControl {
  static constexpr const char *kind = appgroup::controlKind;
  static constexpr const char *displayName = "Corvane Sharing";
  static constexpr const char *description = "Pause or resume sharing your ports with paired Macs.";
  static constexpr const char *toggleTitle = "Corvane Sharing";

  // "Sharing" when on, "Paused" when off.
  static std::string_view valueLabel(bool value);
  static std::string_view valueSymbol(bool value);

  SharingValue provider;
};

} // namespace corvane
