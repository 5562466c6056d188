#include "brimvale/shell/LaunchAtLogin.h"

#include "brimvale/platform/DesktopEntry.h"
#include "brimvale/platform/KeychainStore.h"
#include "brimvale/platform/Logger.h"

#include <cerrno>
#include <cstring>
#include <system_error>
#include <unistd.h>

namespace corvane {

namespace {

constexpr const char *entryName = "corvane.desktop";

std::string runningProgram() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

std::optional<std::string> failure(const std::string &reason) {
  Logger::app().error("Launch at login change failed: " + reason);
  return std::string(launchAtLoginFailureText);
}

} // namespace

std::filesystem::path launchAtLoginEntryPath() {
  const auto base = storage::baseFolder("XDG_CONFIG_HOME", ".config");
  if (base.empty())
    return {};
  return base / "autostart" / entryName;
}

std::optional<std::string> launchAtLoginEntry(const std::string &program) {
  return fillDesktopEntry("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Corvane\n"
                          "Comment=Use the ports of your paired Macs at localhost.\n"
                          "Icon=corvane\n"
                          "Exec=@EXEC@\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n",
                          program);
}

std::optional<std::string> setLaunchAtLogin(bool on, const std::string &program) {
  const auto path = launchAtLoginEntryPath();
  if (path.empty())
    return failure("no configuration folder (XDG_CONFIG_HOME and HOME are unset)");
  if (!on) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
      return failure(path.string() + ": " + std::strerror(errno));
    return std::nullopt;
  }
  const std::string target = program.empty() ? runningProgram() : program;
  if (target.empty() || target.front() != '/')
    return failure("the program's path is unknown");
  const auto text = launchAtLoginEntry(target);
  if (!text)
    return failure("a desktop entry cannot name the program's path");
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error)
    return failure(path.parent_path().string() + ": " + error.message());
  const int status = storage::writeFileAtomically(path, Bytes(text->begin(), text->end()), 0644);
  if (status != 0)
    return failure(path.string() + ": " + std::strerror(status));
  return std::nullopt;
}

} // namespace corvane
