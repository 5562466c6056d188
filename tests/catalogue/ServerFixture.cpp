#include "tests/catalogue/ServerFixture.h"

#include "brimvale/catalogue/ServiceVersion.h"
#include "tests/support/LoopbackPorts.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace corvane::testing {

namespace {

using Clock = std::chrono::steady_clock;

// The unprivileged account servers run as when the tests run as root.
constexpr uid_t nobodyUID = 65534;
constexpr gid_t nobodyGID = 65534;

struct Command {
  std::vector<std::string> argv;
  std::vector<std::string> environment;
};

std::vector<std::string> baseEnvironment(const std::string &home) {
  return {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "HOME=" + home,
          "LC_ALL=C", "LANG=C"};
}

bool runningAsRoot() {
  return ::geteuid() == 0;
}

// Forks a child in a process group of its own. Only async-signal-safe calls after fork().
pid_t spawn(const Command &command, const std::string &directory, const std::string &logPath) {
  std::vector<char *> argv;
  for (const auto &arg : command.argv)
    argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (const auto &entry : command.environment)
    envp.push_back(const_cast<char *>(entry.c_str()));
  envp.push_back(nullptr);
  bool dropPrivileges = runningAsRoot();

  pid_t pid = ::fork();
  if (pid != 0)
    return pid;
  ::setsid();
  int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (devNull >= 0)
    ::dup2(devNull, STDIN_FILENO);
  if (log >= 0) {
    ::fchown(log, dropPrivileges ? nobodyUID : ::geteuid(),
             dropPrivileges ? nobodyGID : ::getegid());
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
  }
  if (::chdir(directory.c_str()) != 0)
    ::_exit(126);
  if (dropPrivileges) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(nobodyGID) != 0 || ::setuid(nobodyUID) != 0)
      ::_exit(126);
  }
  ::execve(argv[0], argv.data(), envp.data());
  ::_exit(127);
}

void killGroup(pid_t pid) {
  if (pid <= 0)
    return;
  ::kill(-pid, SIGTERM);
  auto deadline = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD))
      break;
    if (Clock::now() > deadline) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Whatever the leader left behind in its group.
  ::kill(-pid, SIGKILL);
}

bool portAnswers(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

// Whether the broker answers the AMQP protocol header with a frame: it accepts connections
// some time before it speaks on them.
bool amqpAnswers(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const char header[] = {'A', 'M', 'Q', 'P', 0, 0, 9, 1};
  unsigned char frameType = 0;
  const bool ok =
      ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      ::send(fd, header, sizeof header, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof header) &&
      ::recv(fd, &frameType, 1, 0) == 1 && frameType == 1;
  ::close(fd);
  return ok;
}

std::string tail(const std::string &path, std::size_t bytes = 1500) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string text = buffer.str();
  return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

std::string serverName(ServerFixture::Server server) {
  using enum ServerFixture::Server;
  switch (server) {
  case postgres: return "PostgreSQL";
  case redis: return "Redis";
  case mariadb: return "MariaDB";
  case memcached: return "Memcached";
  case rabbitmq: return "RabbitMQ";
  case nats: return "NATS";
  case nginx: return "nginx";
  }
  return "server";
}

void writeFile(const std::string &path, const std::string &text, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  ::chmod(path.c_str(), mode);
  if (runningAsRoot())
    ::chown(path.c_str(), nobodyUID, nobodyGID);
}

std::string makeDirectory(const std::string &path) {
  ::mkdir(path.c_str(), 0700);
  if (runningAsRoot())
    ::chown(path.c_str(), nobodyUID, nobodyGID);
  return path;
}

// Runs a set-up step to its end, at most `seconds`.
std::expected<void, std::string> runStep(const Command &command, const std::string &directory,
                                         const std::string &logPath, double seconds) {
  pid_t pid = spawn(command, directory, logPath);
  if (pid < 0)
    return std::unexpected("could not fork for " + command.argv[0]);
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return {};
      return std::unexpected(command.argv[0] + " failed (status " + std::to_string(status) +
                             "): " + tail(logPath));
    }
    if (Clock::now() > deadline) {
      killGroup(pid);
      return std::unexpected(command.argv[0] + " did not finish: " + tail(logPath));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string firstMatch(const std::string &text, const std::string &pattern) {
  std::smatch match;
  if (std::regex_search(text, match, std::regex(pattern)) && match.size() > 1)
    return match[1];
  return {};
}

} // namespace

int freeLoopbackPort() {
  return quietLoopbackPort();
}

std::string commandOutput(const std::vector<std::string> &argv) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0)
    return {};
  std::vector<char *> args;
  for (const auto &arg : argv)
    args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::dup2(pipeFds[1], STDERR_FILENO);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  std::string output;
  char buffer[4096];
  ssize_t count;
  while ((count = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
    output.append(buffer, static_cast<std::size_t>(count));
  ::close(pipeFds[0]);
  int status = 0;
  if (pid > 0)
    ::waitpid(pid, &status, 0);
  return output;
}

std::string ServerFixture::installedVersion(Server server) {
  using enum Server;
  switch (server) {
  case postgres:
    return firstMatch(commandOutput({"/usr/lib/postgresql/15/bin/postgres", "--version"}),
                      R"(\(PostgreSQL\) ([0-9.]+))");
  case redis:
    return firstMatch(commandOutput({"/usr/bin/redis-server", "--version"}), R"(v=([0-9.]+))");
  case mariadb:
    return firstMatch(commandOutput({"/usr/sbin/mariadbd", "--version"}),
                      R"(Ver ([0-9.]+)-MariaDB)");
  case memcached:
    return firstMatch(commandOutput({"/usr/bin/memcached", "-V"}), R"(memcached ([0-9.]+))");
  case rabbitmq:
    return firstMatch(
        commandOutput({"/usr/bin/dpkg-query", "-W", "-f=${Version}", "rabbitmq-server"}),
        R"(^([0-9.]+))");
  case nats:
    return firstMatch(commandOutput({"/usr/sbin/nats-server", "--version"}), R"(v([0-9.]+))");
  case nginx: return firstMatch(commandOutput({"/usr/sbin/nginx", "-v"}), R"(nginx/([0-9.]+))");
  }
  return {};
}

std::string ServerFixture::nginxVersionBody() {
  return R"({"version":"0.1.32"})";
}

std::expected<std::unique_ptr<ServerFixture>, std::string>
ServerFixture::start(Server server, double startSeconds) {
  for (int attempt = 1;; ++attempt) {
    bool exited = false;
    auto started = startOnce(server, startSeconds, exited);
    if (started || !exited || attempt == 3)
      return started;
  }
}

std::expected<std::unique_ptr<ServerFixture>, std::string>
ServerFixture::startOnce(Server server, double startSeconds, bool &exited) {
  auto fixture = std::make_unique<ServerFixture>();
  char pattern[] = "/tmp/corvane-server-XXXXXX";
  if (!::mkdtemp(pattern))
    return std::unexpected("no temporary folder: " + std::string(std::strerror(errno)));
  fixture->directory_ = pattern;
  const std::string dir = fixture->directory_;
  ::chmod(dir.c_str(), 0755);
  if (runningAsRoot())
    ::chown(dir.c_str(), nobodyUID, nobodyGID);
  const std::string log = dir + "/server.log";
  fixture->port_ = freeLoopbackPort();
  const std::string port = std::to_string(fixture->port_);
  auto env = baseEnvironment(dir);
  auto failed = [&](const std::string &why) {
    return std::unexpected(serverName(server) + " could not be started: " + why);
  };

  Command command;
  using enum Server;
  switch (server) {
  case postgres: {
    auto step = runStep({{"/usr/lib/postgresql/15/bin/initdb", "-D", dir + "/data", "-U",
                          ServiceVersion::loginUserName(), "--auth=trust", "-E", "UTF8",
                          "--no-sync", "--no-instructions"},
                         env},
                        dir, log, 60);
    if (!step)
      return failed(step.error());
    command = {{"/usr/lib/postgresql/15/bin/postgres", "-D", dir + "/data", "-k", dir, "-p", port,
                "-h", "127.0.0.1", "-c", "fsync=off", "-c", "shared_buffers=8MB"},
               env};
    break;
  }
  case redis:
    command = {{"/usr/bin/redis-server", "--port", port, "--bind", "127.0.0.1", "--save", "",
                "--appendonly", "no", "--dir", dir},
               env};
    break;
  case mariadb: {
    auto step = runStep(
        {{"/usr/bin/mariadb-install-db", "--no-defaults", "--datadir=" + dir + "/data",
          "--auth-root-authentication-method=normal", "--skip-test-db", "--skip-name-resolve"},
         env},
        dir, log, 90);
    if (!step)
      return failed(step.error());
    command = {{"/usr/sbin/mariadbd", "--no-defaults", "--datadir=" + dir + "/data",
                "--socket=" + dir + "/mysqld.sock", "--port=" + port, "--bind-address=127.0.0.1",
                "--pid-file=" + dir + "/mysqld.pid", "--skip-name-resolve",
                "--innodb-buffer-pool-size=16M", "--skip-log-bin"},
               env};
    break;
  }
  case memcached:
    command = {{"/usr/bin/memcached", "-l", "127.0.0.1", "-p", port, "-U", "0"}, env};
    break;
  case nats: command = {{"/usr/sbin/nats-server", "-a", "127.0.0.1", "-p", port}, env}; break;
  case nginx: {
    for (const char *sub : {"/body", "/proxy", "/fastcgi", "/uwsgi", "/scgi"})
      makeDirectory(dir + sub);
    std::string config =
        "daemon off;\nworker_processes 1;\npid " + dir + "/nginx.pid;\nerror_log " + dir +
        "/error.log;\nevents { worker_connections 64; }\nhttp {\n"
        "  access_log off;\n  client_body_temp_path " +
        dir +
        "/body;\n"
        "  proxy_temp_path " +
        dir + "/proxy;\n  fastcgi_temp_path " + dir + "/fastcgi;\n  uwsgi_temp_path " + dir +
        "/uwsgi;\n  scgi_temp_path " + dir + "/scgi;\n  server {\n    listen 127.0.0.1:" + port +
        ";\n"
        "    location = /api/version {\n      default_type application/json;\n"
        "      return 200 '" +
        nginxVersionBody() +
        "';\n    }\n"
        "    location / {\n      default_type text/plain;\n      return 200 'ok';\n"
        "    }\n  }\n}\n";
    writeFile(dir + "/nginx.conf", config);
    command = {{"/usr/sbin/nginx", "-p", dir, "-c", dir + "/nginx.conf", "-e", dir + "/error.log"},
               env};
    break;
  }
  case rabbitmq: {
    // An epmd of our own on a free port, so no system-wide daemon is started or reused.
    std::string epmdPort = std::to_string(freeLoopbackPort());
    env.push_back("ERL_EPMD_PORT=" + epmdPort);
    env.push_back("ERL_EPMD_ADDRESS=127.0.0.1");
    pid_t epmd = spawn({{"/usr/bin/epmd", "-port", epmdPort, "-address", "127.0.0.1"}, env}, dir,
                       dir + "/epmd.log");
    fixture->processes_.push_back({epmd});
    std::mt19937_64 random{std::random_device{}()};
    std::string node = "corvane" + std::to_string(random() % 1000000000) + "@localhost";
    writeFile(dir + "/.erlang.cookie", "CORVANETESTCOOKIE" + std::to_string(random()), 0400);
    writeFile(dir + "/enabled_plugins", "[].\n");
    makeDirectory(dir + "/mnesia");
    makeDirectory(dir + "/log");
    for (std::string entry :
         {"RABBITMQ_NODE_PORT=" + port, std::string("RABBITMQ_NODE_IP_ADDRESS=127.0.0.1"),
          "RABBITMQ_NODENAME=" + node, "RABBITMQ_MNESIA_BASE=" + dir + "/mnesia",
          "RABBITMQ_LOG_BASE=" + dir + "/log",
          "RABBITMQ_DIST_PORT=" + std::to_string(freeLoopbackPort()),
          "RABBITMQ_ENABLED_PLUGINS_FILE=" + dir + "/enabled_plugins",
          "RABBITMQ_CONFIG_FILE=" + dir + "/rabbitmq",
          "RABBITMQ_ADVANCED_CONFIG_FILE=" + dir + "/advanced.config",
          "RABBITMQ_CONF_ENV_FILE=" + dir + "/rabbitmq-env.conf",
          "RABBITMQ_PID_FILE=" + dir + "/rabbitmq.pid"})
      env.push_back(entry);
    command = {{"/usr/lib/rabbitmq/bin/rabbitmq-server"}, env};
    break;
  }
  }

  pid_t pid = spawn(command, dir, log);
  if (pid < 0)
    return failed("could not fork");
  fixture->processes_.push_back({pid});
  auto deadline = Clock::now() + std::chrono::duration<double>(startSeconds);
  const auto ready = [&] {
    return portAnswers(fixture->port_) &&
           (server != ServerFixture::Server::rabbitmq || amqpAnswers(fixture->port_));
  };
  while (!ready()) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      fixture->processes_.back().pid = -1;
      exited = true;
      return failed("it exited (status " + std::to_string(status) + "): " + tail(log));
    }
    if (Clock::now() > deadline)
      return failed("port " + port + " did not answer within " +
                    std::to_string(static_cast<int>(startSeconds)) + " s: " + tail(log));
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return fixture;
}

void ServerFixture::pause() {
  for (const auto &process : processes_)
    if (process.pid > 0)
      ::kill(-process.pid, SIGSTOP);
}

void ServerFixture::resume() {
  for (const auto &process : processes_)
    if (process.pid > 0)
      ::kill(-process.pid, SIGCONT);
}

void ServerFixture::stopAll() {
  // A paused server would only take its SIGTERM once continued.
  resume();
  for (auto it = processes_.rbegin(); it != processes_.rend(); ++it)
    killGroup(it->pid);
  processes_.clear();
}

ServerFixture::~ServerFixture() {
  stopAll();
  if (!directory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
}

} // namespace corvane::testing
