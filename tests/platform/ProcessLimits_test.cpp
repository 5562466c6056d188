#include "brimvale/platform/ProcessLimits.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane {
namespace {

// Limits set here cannot be undone in this process (a lowered hard limit stays lowered), so
// each case runs in a child; its exit status is the number of the first check that failed.
int inChild(int (*body)()) {
  const pid_t child = ::fork();
  if (child == 0)
    ::_exit(body());
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

rlim_t softLimit() {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  return limit.rlim_cur;
}

TEST(ProcessLimits, SoftLimitIsRaisedToTheHardLimitAndReported) {
  EXPECT_EQ(inChild([] {
              rlimit low{64, 512};
              if (::setrlimit(RLIMIT_NOFILE, &low) != 0)
                return 1;
              if (raiseDescriptorLimit() != 512)
                return 2;
              if (softLimit() != 512)
                return 3;
              // Already at the hard limit: nothing changes, the same figure comes back.
              if (raiseDescriptorLimit() != 512 || softLimit() != 512)
                return 4;
              // Descriptors past the old soft limit can be opened now.
              for (int i = 0; i < 100; ++i)
                if (::dup(0) < 0)
                  return 5;
              return 0;
            }),
            0);
}

TEST(ProcessLimits, AnUnraisableLimitIsReportedAsItStands) {
  EXPECT_EQ(inChild([] {
              // Equal soft and hard limits: there is nothing to raise to, and the start goes on.
              rlimit fixed{100, 100};
              if (::setrlimit(RLIMIT_NOFILE, &fixed) != 0)
                return 1;
              if (raiseDescriptorLimit() != 100)
                return 2;
              return softLimit() == 100 ? 0 : 3;
            }),
            0);
}

} // namespace
} // namespace corvane
