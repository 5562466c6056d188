#pragma once

#include <optional>
#include <string>

namespace corvane {

// The desktop's "Reduce Motion": on when the desktop turned animations off
// (org.gnome.desktop.interface enable-animations false). Read once at start and handed to the
// views, so tests choose it.
class ReduceMotion {
public:
  static constexpr const char *schema = "org.gnome.desktop.interface";
  static constexpr const char *key = "enable-animations";

  // Asks gsettings, at most `timeLimitSeconds`; off when it cannot say.
  static bool readFromDesktop(double timeLimitSeconds = 2.0);
  // From gsettings' answer: only "false" turns animations off.
  static bool fromSetting(const std::optional<std::string> &answer);
};

} // namespace corvane
