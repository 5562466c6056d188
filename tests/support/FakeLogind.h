#pragma once

#include "brimvale/platform/BusLoop.h"
#include "tests/support/Inbox.h"
#include "tests/support/OnLoop.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace corvane::testing {

// True once `fd` reads end of file (every copy of its write end is closed).
inline bool closedWithin(int fd, std::chrono::milliseconds limit) {
  pollfd wait{fd, POLLIN, 0};
  if (poll(&wait, 1, static_cast<int>(limit.count())) <= 0)
    return false;
  char byte;
  return read(fd, &byte, 1) == 0;
}

inline bool stillOpen(int fd) {
  pollfd wait{fd, POLLIN, 0};
  return poll(&wait, 1, 0) == 0;
}

// logind as far as sleep goes: Inhibit hands out the write end of a pipe, whose read end the
// test watches, and PrepareForSleep is emitted on request.
class FakeLogind {
public:
  struct Inhibit {
    std::string what, who, why, mode, caller;
    int readEnd = -1;
  };

  FakeLogind(const std::string &address, bool refuse = false)
      : loop_("fake.logind", BusLoop::Kind::system, address), refuse_(refuse) {
    registered_ = onLoop(loop_, [this] {
      static const sd_bus_vtable vtable[] = {
          SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLogind::inhibit, 0),
          SD_BUS_SIGNAL("PrepareForSleep", "b", 0), SD_BUS_VTABLE_END};
      return loop_.bus() != nullptr &&
             sd_bus_add_object_vtable(loop_.bus(), nullptr, "/org/freedesktop/login1",
                                      "org.freedesktop.login1.Manager", vtable, this) >= 0 &&
             sd_bus_request_name(loop_.bus(), "org.freedesktop.login1", 0) >= 0;
    });
  }

  ~FakeLogind() {
    while (auto call = inhibits.pop(std::chrono::milliseconds(0)))
      close(call->readEnd);
  }

  bool registered() const { return registered_; }
  BusLoop &loop() { return loop_; }

  void emit(const char *signature, auto... values) {
    onLoop(loop_, [&] {
      sd_bus_emit_signal(loop_.bus(), "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                         "PrepareForSleep", signature, values...);
    });
  }

  Inbox<Inhibit> inhibits;

private:
  static int inhibit(sd_bus_message *call, void *userdata, sd_bus_error *error) {
    auto *self = static_cast<FakeLogind *>(userdata);
    const char *what, *who, *why, *mode;
    if (sd_bus_message_read(call, "ssss", &what, &who, &why, &mode) < 0)
      return -EINVAL;
    if (self->refuse_)
      return sd_bus_error_set(error, "org.freedesktop.DBus.Error.AccessDenied", "not today");
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
      return -errno;
    int result = sd_bus_reply_method_return(call, "h", ends[1]);
    close(ends[1]); // the reply carried its own copy
    self->inhibits.push({what, who, why, mode, sd_bus_message_get_sender(call), ends[0]});
    return result;
  }

  BusLoop loop_;
  bool refuse_;
  bool registered_ = false;
};

} // namespace corvane::testing
