#pragma once

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace corvane::testing {

// How often `part` occurs in `text`.
inline std::size_t count(const std::string &text, const std::string &part) {
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++found;
  return found;
}

// Collects what stderr receives, so that a test can wait for a log line.
class StderrTap {
public:
  StderrTap() {
    if (pipe2(ends_, O_CLOEXEC) != 0)
      return;
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    dup2(ends_[1], STDERR_FILENO);
  }
  ~StderrTap() {
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    close(ends_[0]);
    close(ends_[1]);
  }
  // Everything written so far, waiting up to `limit` for `text` to appear `times` times.
  std::string waitFor(const std::string &text,
                      std::chrono::milliseconds limit = std::chrono::seconds(20),
                      std::size_t times = 1) {
    auto until = std::chrono::steady_clock::now() + limit;
    do {
      pollfd wait{ends_[0], POLLIN, 0};
      if (poll(&wait, 1, 50) > 0) {
        char buffer[512];
        ssize_t got = read(ends_[0], buffer, sizeof buffer);
        if (got > 0)
          text_.append(buffer, static_cast<std::size_t>(got));
      }
    } while (count(text_, text) < times && std::chrono::steady_clock::now() < until);
    return text_;
  }

private:
  int ends_[2] = {-1, -1};
  int saved_ = -1;
  std::string text_;
};

} // namespace corvane::testing
