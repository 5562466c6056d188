#include "brimvale/platform/UrlOpener.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace corvane {

namespace {

struct ProcessResult {
  int exitStatus = -1; // -1 when it did not exit normally in time
  std::string output;
};

bool waitUntil(pid_t pid, std::chrono::steady_clock::time_point deadline, int &status) {
  while (true) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid)
      return true;
    if (done < 0 && errno != EINTR)
      return false;
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    poll(nullptr, 0, 10);
  }
}

// Runs a program found on PATH with the given arguments; its standard output (cut at
// `maxOutput` bytes) is collected, standard input and error go to /dev/null, and it is killed
// when it outlives the time limit.
std::optional<ProcessResult> runProgram(const std::vector<std::string> &arguments,
                                        double timeLimitSeconds, std::size_t maxOutput) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0)
    return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // Nothing else of ours (sockets, key files) reaches the child.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  std::vector<char *> argv;
  for (const auto &argument : arguments)
    argv.push_back(const_cast<char *>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    return std::nullopt;
  }

  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeLimitSeconds));
  ProcessResult result;
  char buffer[1024];
  bool timedOut = false;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd readable{pipeFds[0], POLLIN, 0};
    const int ready = poll(&readable, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0) {
      timedOut = ready == 0;
      break;
    }
    const ssize_t count = read(pipeFds[0], buffer, sizeof buffer);
    if (count < 0 && errno == EINTR)
      continue;
    if (count <= 0)
      break;
    // Keep draining past the bound so the child never blocks on a full pipe.
    const std::size_t room = maxOutput - std::min(maxOutput, result.output.size());
    result.output.append(buffer, std::min(room, static_cast<std::size_t>(count)));
  }
  close(pipeFds[0]);

  int status = 0;
  if (timedOut || !waitUntil(pid, deadline, status)) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return result;
  }
  if (WIFEXITED(status))
    result.exitStatus = WEXITSTATUS(status);
  return result;
}

std::string trimmed(std::string text) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && isSpace(text.back()))
    text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && isSpace(text[start]))
    ++start;
  return text.substr(start);
}

} // namespace

std::optional<std::string> urlScheme(std::string_view url) {
  const auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  const auto colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0 || !isAlpha(url[0]))
    return std::nullopt;
  std::string scheme;
  for (char c : url.substr(0, colon)) {
    if (!isAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.')
      return std::nullopt;
    scheme += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return scheme;
}

std::optional<std::string> XdgUrlOpener::applicationFor(std::string_view url) {
  const auto scheme = urlScheme(url);
  if (!scheme)
    return std::nullopt;
  const auto result =
      runProgram({options_.queryProgram, "query", "default", "x-scheme-handler/" + *scheme},
                 options_.timeLimitSeconds, options_.maxOutputBytes);
  if (!result || result->exitStatus != 0)
    return std::nullopt;
  auto application = trimmed(result->output);
  if (application.empty() || application.find('\n') != std::string::npos)
    return std::nullopt;
  return application;
}

bool XdgUrlOpener::open(std::string_view url) {
  // The scheme check also keeps the URL from being read as an option.
  if (!urlScheme(url) || url.find('\0') != std::string_view::npos)
    return false;
  const auto result =
      runProgram({options_.detachProgram, "-f", options_.openProgram, std::string(url)},
                 options_.timeLimitSeconds, 0);
  return result && result->exitStatus == 0;
}

std::optional<std::string> FakeUrlOpener::applicationFor(std::string_view url) {
  const auto scheme = urlScheme(url);
  if (!scheme)
    return std::nullopt;
  const auto found = handlers.find(*scheme);
  if (found == handlers.end())
    return std::nullopt;
  return found->second;
}

bool FakeUrlOpener::open(std::string_view url) {
  if (!applicationFor(url))
    return false;
  opened.emplace_back(url);
  return true;
}

} // namespace corvane
