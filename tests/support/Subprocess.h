#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

extern char **environ;

namespace corvane::testing {

// A program run by a test, its standard output read in lines; stderr goes to the test's own.
// Spawned without fork, so it is safe from a test whose queues run threads. Killed and reaped
// when destroyed if it is still running.
class ChildProcess {
public:
  // `environment` holds "NAME=value" entries that replace or extend the test's environment,
  // and "NAME" entries that remove a variable.
  explicit ChildProcess(const std::vector<std::string> &argv,
                        const std::vector<std::string> &environment = {}) {
    std::vector<std::string> entries;
    for (const auto &own : environment)
      if (own.find('=') != std::string::npos)
        entries.push_back(own);
    for (char **entry = environ; *entry != nullptr; ++entry) {
      const std::string text(*entry);
      const auto name = text.substr(0, text.find('='));
      bool replaced = false;
      for (const auto &own : environment)
        replaced = replaced || own.substr(0, own.find('=')) == name;
      if (!replaced)
        entries.push_back(text);
    }
    std::vector<char *> args;
    for (const auto &arg : argv)
      args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char *> envp;
    for (const auto &entry : entries)
      envp.push_back(const_cast<char *>(entry.c_str()));
    envp.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
      return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t pid = -1;
    if (::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0)
      pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    fromChild_ = out[0];
  }

  ~ChildProcess() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
    if (fromChild_ >= 0)
      ::close(fromChild_);
  }

  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void signal(int number) const {
    if (pid_ > 0 && !status_)
      ::kill(pid_, number);
  }

  // The next line of output without its newline; absent at the end of output or once
  // `limit` has passed.
  std::optional<std::string> readLine(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (const auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      if (!fill(deadline))
        return std::nullopt;
    }
  }

  // Everything the program still writes until it closes its output.
  std::string readAll(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (fill(deadline)) {
    }
    return std::exchange(buffer_, {});
  }

  // The exit code, 128 + the signal's number when a signal ended it, or absent while it is
  // still running after `limit`.
  std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!status_ && pid_ > 0) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if (done < 0 && errno != EINTR) {
        status_ = -1;
      } else if (std::chrono::steady_clock::now() > deadline) {
        break;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    return status_;
  }

private:
  // Reads what is there; false at the end of output or at the deadline.
  bool fill(std::chrono::steady_clock::time_point deadline) {
    if (fromChild_ < 0)
      return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return false;
    pollfd entry{fromChild_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready < 0)
      return errno == EINTR;
    if (ready == 0)
      return false;
    char chunk[4096];
    const ssize_t n = ::read(fromChild_, chunk, sizeof chunk);
    if (n < 0)
      return errno == EINTR || errno == EAGAIN;
    if (n == 0)
      return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int fromChild_ = -1;
  std::string buffer_;
  std::optional<int> status_;
};

struct RunResult {
  int exitCode = -1;
  std::string output;
};

// Runs a program to its end (bounded) and gives its exit code and standard output.
inline RunResult runProgram(const std::vector<std::string> &argv,
                            const std::vector<std::string> &environment = {},
                            std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  ChildProcess child(argv, environment);
  RunResult result;
  if (!child.started())
    return result;
  result.output = child.readAll(limit);
  result.exitCode = child.wait(limit).value_or(-1);
  return result;
}

} // namespace corvane::testing
