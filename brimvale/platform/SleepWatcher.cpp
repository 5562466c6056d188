#include "brimvale/platform/SleepWatcher.h"

#include "brimvale/platform/BusLoop.h"
#include "brimvale/platform/Logger.h"

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace corvane {

namespace {

constexpr const char *logind = "org.freedesktop.login1";
constexpr const char *logindPath = "/org/freedesktop/login1";
constexpr const char *logindManager = "org.freedesktop.login1.Manager";
constexpr const char *busDriver = "org.freedesktop.DBus";
constexpr const char *ownerChanges =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.freedesktop.login1'";
constexpr const char *inhibitWhy = "Closing connections to paired computers before sleep";
// An inhibitor request that logind leaves unanswered must not hang on the default 25 s.
constexpr double inhibitCallTimeout = 10.0;

} // namespace

struct SleepWatcher::Core {
  Core(BusLoop &loop, double releaseTimeout, std::function<void(bool, unsigned long)> report)
      : loop(loop), releaseTimeout(releaseTimeout), report(std::move(report)) {}

  ~Core() {
    sd_bus_slot_unref(match);
    sd_bus_slot_unref(ownerMatch);
    sd_bus_slot_unref(ownerCall);
    sd_bus_slot_unref(inhibitCall);
    if (inhibitor >= 0)
      close(inhibitor);
  }

  // Said once per run: the reason repeats after every wake.
  void unavailable(const std::string &why) { logOnce("Sleep and wake are not watched: " + why); }
  void undelayed(const std::string &why) {
    logOnce("Sleep cannot wait for connections to close: " + why);
  }
  void logOnce(const std::string &line) {
    if (unavailableLogged)
      return;
    unavailableLogged = true;
    Logger::app().notice(line);
  }

  void start() {
    sd_bus *bus = loop.bus();
    if (bus == nullptr) {
      unavailable(std::string("no system bus (") + std::strerror(-loop.openError()) + ")");
      return;
    }
    sd_bus_set_method_call_timeout(bus, busMicroseconds(inhibitCallTimeout));
    // The bus daemon filters broadcasts by their sender's name, but a signal sent to this
    // connection directly reaches it whoever sent it: only logind's own unique name counts.
    int result =
        sd_bus_add_match_async(bus, &ownerMatch, ownerChanges, &Core::ownerChanged, nullptr, this);
    if (result >= 0)
      result =
          sd_bus_call_method_async(bus, &ownerCall, busDriver, "/org/freedesktop/DBus", busDriver,
                                   "GetNameOwner", &Core::ownerFound, this, "s", logind);
    if (result >= 0)
      result = sd_bus_match_signal_async(bus, &match, logind, logindPath, logindManager,
                                         "PrepareForSleep", &Core::prepareForSleep, nullptr, this);
    if (result < 0) {
      unavailable(std::string("cannot watch logind (") + std::strerror(-result) + ")");
      return;
    }
    takeInhibitor();
  }

  void takeInhibitor() {
    if (inhibitor >= 0 || inhibitCall != nullptr || loop.bus() == nullptr)
      return;
    int result = sd_bus_call_method_async(loop.bus(), &inhibitCall, logind, logindPath,
                                          logindManager, "Inhibit", &Core::inhibited, this, "ssss",
                                          "sleep", "Corvane", inhibitWhy, "delay");
    if (result < 0)
      undelayed(std::string("cannot ask logind (") + std::strerror(-result) + ")");
  }

  static int inhibited(sd_bus_message *reply, void *userdata, sd_bus_error *) {
    auto *core = static_cast<Core *>(userdata);
    core->inhibitCall = sd_bus_slot_unref(core->inhibitCall);
    if (const sd_bus_error *error = sd_bus_message_get_error(reply)) {
      if (sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN,
                                 SD_BUS_ERROR_NAME_HAS_NO_OWNER))
        core->unavailable("logind is not running");
      else
        core->undelayed(std::string("logind refused a delay (") +
                        (error->name != nullptr ? error->name : "no reason") + ")");
      return 0;
    }
    int fd = -1;
    if (sd_bus_message_has_signature(reply, "h") <= 0 || sd_bus_message_read(reply, "h", &fd) < 0) {
      core->undelayed("logind answered with something else than a delay");
      return 0;
    }
    // The message owns its descriptor; keep a copy of our own.
    int held = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (held < 0) {
      core->undelayed(std::string("cannot keep the delay (") + std::strerror(errno) + ")");
      return 0;
    }
    // Granted while the machine is already on its way to sleep: holding it would only delay it.
    if (core->asleep || core->inhibitor >= 0) {
      close(held);
      return 0;
    }
    core->inhibitor = held;
    return 0;
  }

  static int ownerFound(sd_bus_message *reply, void *userdata, sd_bus_error *) {
    auto *core = static_cast<Core *>(userdata);
    core->ownerCall = sd_bus_slot_unref(core->ownerCall);
    const char *name = nullptr;
    // An error means logind is not there (yet); its arrival is a change of owner.
    if (sd_bus_message_get_error(reply) == nullptr &&
        sd_bus_message_has_signature(reply, "s") > 0 &&
        sd_bus_message_read(reply, "s", &name) >= 0 && name != nullptr)
      core->owner = name;
    return 0;
  }

  static int ownerChanged(sd_bus_message *message, void *userdata, sd_bus_error *) {
    auto *core = static_cast<Core *>(userdata);
    const char *sender = sd_bus_message_get_sender(message);
    const char *name = nullptr, *before = nullptr, *after = nullptr;
    if (sender == nullptr || std::strcmp(sender, busDriver) != 0 ||
        sd_bus_message_has_signature(message, "sss") <= 0 ||
        sd_bus_message_read(message, "sss", &name, &before, &after) < 0 ||
        std::strcmp(name, logind) != 0)
      return 0;
    core->owner = after;
    // A logind that starts after this watcher is asked for its delay too.
    if (!core->owner.empty() && !core->asleep)
      core->takeInhibitor();
    return 0;
  }

  static int prepareForSleep(sd_bus_message *message, void *userdata, sd_bus_error *) {
    auto *core = static_cast<Core *>(userdata);
    const char *sender = sd_bus_message_get_sender(message);
    if (core->owner.empty() || sender == nullptr || core->owner != sender) {
      Logger::app().debug("Ignored a sleep signal that did not come from logind");
      return 0;
    }
    int sleeping = 0;
    if (sd_bus_message_has_signature(message, "b") <= 0 ||
        sd_bus_message_read(message, "b", &sleeping) < 0) {
      Logger::app().debug("Ignored a sleep signal of the wrong form");
      return 0;
    }
    if (sleeping)
      core->willSleep();
    else
      core->didWake();
    return 0;
  }

  void willSleep() {
    if (asleep)
      return; // already preparing or asleep: the first signal counts
    asleep = true;
    preparing = true;
    unsigned long current = ++generation;
    deadline = loop.postAfter(releaseTimeout, [this, current] {
      if (preparing && generation == current) {
        Logger::app().notice("Letting the machine sleep before connections were closed");
        release(current);
      }
    });
    report(true, current);
  }

  void didWake() {
    if (!asleep)
      return; // a wake without a sleep we saw has nothing to undo
    asleep = false;
    preparing = false;
    deadline.cancel();
    report(false, generation);
    takeInhibitor();
  }

  void release(unsigned long which) {
    if (!preparing || which != generation)
      return;
    preparing = false;
    deadline.cancel();
    if (inhibitor >= 0) {
      close(inhibitor);
      inhibitor = -1;
    }
  }

  BusLoop &loop;
  double releaseTimeout;
  std::function<void(bool, unsigned long)> report;
  sd_bus_slot *match = nullptr;
  sd_bus_slot *ownerMatch = nullptr;
  sd_bus_slot *ownerCall = nullptr;
  sd_bus_slot *inhibitCall = nullptr;
  std::string owner; // logind's unique name on the bus, empty while it has none
  int inhibitor = -1;
  bool asleep = false;    // between the sleep signal and the wake signal
  bool preparing = false; // asleep, and the inhibitor not yet released
  unsigned long generation = 0;
  WorkItem deadline;
  bool unavailableLogged = false;
};

SleepWatcher::SleepWatcher(MainQueue &main) : SleepWatcher(main, Options{}) {}

SleepWatcher::SleepWatcher(MainQueue &main, Options options)
    : main_(main), options_(std::move(options)), alive_(std::make_shared<int>(0)),
      channel_(std::make_shared<Channel>()) {}

SleepWatcher::~SleepWatcher() {
  {
    std::lock_guard guard(channel_->lock);
    channel_->loop = nullptr;
    channel_->core = nullptr;
  }
  loop_.reset(); // joins the bus thread: nothing reports after this
  core_.reset(); // and only then the inhibitor goes
}

void SleepWatcher::start() {
  if (loop_)
    return;
  loop_ = std::make_unique<BusLoop>("corvane.sleep", BusLoop::Kind::system, options_.busAddress);
  core_ = std::make_unique<Core>(
      *loop_, options_.releaseTimeout,
      [this](bool sleeping, unsigned long generation) { report(sleeping, generation); });
  {
    std::lock_guard guard(channel_->lock);
    channel_->loop = loop_.get();
    channel_->core = core_.get();
  }
  loop_->post([core = core_.get()] { core->start(); });
}

// On the bus thread: hands the event to the main queue, where the owner may already be gone.
void SleepWatcher::report(bool sleeping, unsigned long generation) {
  main_.post([this, alive = std::weak_ptr<int>(alive_), sleeping, generation,
              channel = std::weak_ptr<Channel>(channel_)] {
    if (!alive.lock())
      return;
    if (!sleeping) {
      if (onDidWake)
        onDidWake();
      return;
    }
    auto called = std::make_shared<std::atomic<bool>>(false);
    Done done = [channel, called, generation] {
      if (called->exchange(true))
        return;
      auto shared = channel.lock();
      if (!shared)
        return;
      std::lock_guard guard(shared->lock);
      if (shared->loop != nullptr)
        shared->loop->post([core = shared->core, generation] { core->release(generation); });
    };
    if (onWillSleep)
      onWillSleep(std::move(done));
    else
      done();
  });
}

} // namespace corvane
