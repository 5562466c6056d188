#pragma once

#include <expected>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvane::testing {

// A real server started for one test binary: a free loopback port, a temporary folder owned by
// the unprivileged user it runs as, its whole process group killed afterwards.
class ServerFixture {
public:
  enum class Server { postgres, redis, mariadb, memcached, rabbitmq, nats, nginx };

  // Starts the server and waits until its port accepts connections, at most `startSeconds`.
  // The error names the server and quotes the end of its log. A server that exits at start is
  // tried again on fresh ports: a free port picked here may be taken by another process before
  // the server binds it.
  static std::expected<std::unique_ptr<ServerFixture>, std::string> start(Server server,
                                                                          double startSeconds = 30);

  ~ServerFixture();
  ServerFixture(const ServerFixture &) = delete;
  ServerFixture &operator=(const ServerFixture &) = delete;

  int port() const { return port_; }
  // Stops and continues every process of the server (SIGSTOP, SIGCONT): while paused its port
  // still accepts connections into the backlog, but nothing answers on them.
  void pause();
  void resume();
  const std::string &directory() const { return directory_; }

  // What the installed package says its version is, in full (15.18, 7.0.15, 10.11.6, …).
  static std::string installedVersion(Server server);
  // The body the nginx fixture serves at /api/version.
  static std::string nginxVersionBody();

  ServerFixture() = default;

private:
  static std::expected<std::unique_ptr<ServerFixture>, std::string>
  startOnce(Server server, double startSeconds, bool &exited);

  struct Process {
    pid_t pid = -1;
  };

  void stopAll();

  int port_ = 0;
  std::string directory_;
  std::vector<Process> processes_; // stopped in reverse order
};

// A loopback TCP port that nothing holds right now on 127.0.0.1 or ::1, below the range where
// the kernel puts other programs' connections and listeners: a server started on it seconds
// later still finds it free, and a port-0 listener elsewhere does not answer in its place.
int freeLoopbackPort();

// The standard output of a command run without a shell.
std::string commandOutput(const std::vector<std::string> &argv);

} // namespace corvane::testing
