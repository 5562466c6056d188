#pragma once

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::testing {

// A dbus-daemon of the test's own, on a socket in a temporary folder, with a policy that lets
// every client own any name and send anything: a stand-in for the system or the session bus.
// `address()` is empty when the daemon could not be started.
class PrivateBus {
public:
  enum class Kind { system, session };

  explicit PrivateBus(Kind kind) {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-bus-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
      return;
    folder_ = pattern;
    const auto config = folder_ / "bus.conf";
    std::ofstream(config)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
        << "  <type>" << (kind == Kind::system ? "system" : "session") << "</type>\n"
        << "  <listen>unix:path=" << (folder_ / "bus").string() << "</listen>\n"
        << "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "    <allow user=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
      return;
    std::string configArgument = "--config-file=" + config.string();
    char *argv[] = {const_cast<char *>("dbus-daemon"), configArgument.data(),
                    const_cast<char *>("--nofork"), const_cast<char *>("--print-address"), nullptr};
    int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = fork();
    if (pid_ == 0) {
      // Dies with the test, even when the test crashes.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      dup2(out[1], STDOUT_FILENO);
      dup2(quiet, STDERR_FILENO);
      execvp("dbus-daemon", argv);
      _exit(127);
    }
    close(quiet);
    close(out[1]);
    // The daemon prints its address once it listens; a loaded machine may take a while.
    std::string line;
    pollfd wait{out[0], POLLIN, 0};
    while (pid_ > 0 && line.find('\n') == std::string::npos && poll(&wait, 1, 30000) > 0) {
      char buffer[256];
      ssize_t got = read(out[0], buffer, sizeof buffer);
      if (got <= 0)
        break;
      line.append(buffer, static_cast<std::size_t>(got));
    }
    close(out[0]);
    if (auto end = line.find('\n'); end != std::string::npos)
      address_ = line.substr(0, end);
  }

  ~PrivateBus() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
    if (!folder_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
    }
  }

  PrivateBus(const PrivateBus &) = delete;
  PrivateBus &operator=(const PrivateBus &) = delete;

  const std::string &address() const { return address_; }

private:
  std::filesystem::path folder_;
  pid_t pid_ = -1;
  std::string address_;
};

} // namespace corvane::testing
