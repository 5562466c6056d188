#pragma once

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace corvane::testing {

// Runs body in a forked child with stderr discarded and gives its exit status, or -1 when
// the child did not exit normally. Keeps resource limits and crashes out of the test process.
inline int runInChild(const std::function<int()> &body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) {
      ::dup2(devNull, STDERR_FILENO);
    }
    ::_exit(body());
  }
  if (pid < 0) {
    return -1;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Lowers the descriptor limit and opens descriptors until none is left, so that every open,
// socket or pipe fails with EMFILE; closes them again when destroyed. For child processes.
class DescriptorsUsedUp {
public:
  DescriptorsUsedUp() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 128);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    const int first = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (first < 0) {
      error_ = errno;
      return;
    }
    held_.push_back(first);
    for (;;) {
      const int fd = ::fcntl(first, F_DUPFD_CLOEXEC, 0);
      if (fd < 0) {
        error_ = errno;
        break;
      }
      held_.push_back(fd);
    }
  }
  DescriptorsUsedUp(const DescriptorsUsedUp &) = delete;
  DescriptorsUsedUp &operator=(const DescriptorsUsedUp &) = delete;
  ~DescriptorsUsedUp() {
    for (const int fd : held_) {
      ::close(fd);
    }
  }
  // EMFILE when every descriptor is taken.
  int error() const { return error_; }

private:
  std::vector<int> held_;
  int error_ = 0;
};

} // namespace corvane::testing
