#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace corvane {

// Starting the application at login: an XDG autostart entry, corvane.desktop in
// $XDG_CONFIG_HOME/autostart (else ~/.config/autostart), written whole or not at all, and
// removed to turn it off.
inline constexpr const char *launchAtLoginFailureText =
    "Could not change launch at login. You can set it in your desktop's autostart settings.";

// The autostart entry's path; empty when neither XDG_CONFIG_HOME nor HOME is usable.
std::filesystem::path launchAtLoginEntryPath();

// The entry's text, starting `program` (an absolute path) quoted as desktop entries require;
// absent for a path no entry can hold.
std::optional<std::string> launchAtLoginEntry(const std::string &program);

// Turns starting at login on (writing the entry for `program`, by default this program) or off
// (removing it; an entry that is already gone is off). Absent on success; on failure logs
// "Launch at login change failed: <reason>" and gives the message for the user.
// Synchronous; main thread.
std::optional<std::string> setLaunchAtLogin(bool on, const std::string &program = {});

} // namespace corvane
