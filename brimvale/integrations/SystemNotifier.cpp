#include "brimvale/integrations/SystemNotifier.h"

#include "brimvale/platform/BusLoop.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/Unicode.h"

#include <cstring>
#include <deque>
#include <systemd/sd-bus.h>

namespace corvane {

namespace {

constexpr const char *server = "org.freedesktop.Notifications";
constexpr const char *serverPath = "/org/freedesktop/Notifications";
constexpr const char *appName = "Corvane";
constexpr std::int32_t defaultExpiry = -1;
// The notes are built from short names; anything longer is cut rather than sent whole.
constexpr std::size_t maxTitleCharacters = 256;
constexpr std::size_t maxBodyCharacters = 1024;
// A server listing more capabilities than this is not listened to further.
constexpr std::size_t maxCapabilities = 64;

void dropped(const std::string &why) {
  Logger::app().debug("Notification not shown: " + why);
}

std::string errorText(const sd_bus_error *error) {
  return error != nullptr && error->name != nullptr ? error->name : "no answer";
}

// A body as sent to a server that reads markup in bodies: names that other machines chose
// cannot become markup or links.
std::string escapedBody(const std::string &body) {
  std::string escaped;
  escaped.reserve(body.size());
  for (char c : body) {
    switch (c) {
    case '&': escaped += "&amp;"; break;
    case '<': escaped += "&lt;"; break;
    case '>': escaped += "&gt;"; break;
    default: escaped += c;
    }
  }
  return escaped;
}

} // namespace

struct SystemNotifier::Core {
  Core(BusLoop &loop, double callTimeout, std::shared_ptr<std::atomic<std::size_t>> waiting)
      : loop(loop), callTimeout(callTimeout), waiting(std::move(waiting)) {}

  ~Core() {
    sd_bus_slot_unref(capabilitiesCall);
    for (auto *call : notifyCalls)
      sd_bus_slot_unref(call);
  }

  void post(NotificationRules::Note note) {
    sd_bus *bus = loop.bus();
    if (bus == nullptr) {
      finished(1);
      dropped(std::string("no session bus (") + std::strerror(-loop.openError()) + ")");
      return;
    }
    if (!configured) {
      configured = true;
      sd_bus_set_method_call_timeout(bus, busMicroseconds(callTimeout));
    }
    queued.push_back(std::move(note));
    if (markup)
      sendQueued();
    else if (capabilitiesCall == nullptr)
      askCapabilities();
  }

  // Whether the server reads markup in bodies decides how a body is sent, so it is asked once
  // before the first note goes out.
  void askCapabilities() {
    int result = sd_bus_call_method_async(loop.bus(), &capabilitiesCall, server, serverPath, server,
                                          "GetCapabilities", &Core::capabilitiesAnswered, this, "");
    if (result < 0)
      dropQueued(std::string("cannot reach the notification server (") + std::strerror(-result) +
                 ")");
  }

  static int capabilitiesAnswered(sd_bus_message *reply, void *userdata, sd_bus_error *) {
    auto *core = static_cast<Core *>(userdata);
    core->capabilitiesCall = sd_bus_slot_unref(core->capabilitiesCall);
    if (const sd_bus_error *error = sd_bus_message_get_error(reply)) {
      // No server (yet): the next note asks again.
      core->dropQueued(errorText(error));
      return 0;
    }
    bool readsMarkup = false;
    if (sd_bus_message_has_signature(reply, "as") > 0 &&
        sd_bus_message_enter_container(reply, 'a', "s") > 0) {
      const char *capability = nullptr;
      for (std::size_t i = 0;
           i < maxCapabilities && sd_bus_message_read(reply, "s", &capability) > 0; ++i)
        readsMarkup = readsMarkup || std::strcmp(capability, "body-markup") == 0;
    }
    core->markup = readsMarkup;
    core->sendQueued();
    return 0;
  }

  void sendQueued() {
    while (!queued.empty()) {
      auto note = std::move(queued.front());
      queued.pop_front();
      send(note);
    }
  }

  void send(const NotificationRules::Note &note) {
    std::string title = characterPrefix(validUTF8(note.title), maxTitleCharacters);
    std::string body = characterPrefix(validUTF8(note.body), maxBodyCharacters);
    if (*markup)
      body = escapedBody(body);
    sd_bus_slot *call = nullptr;
    int result =
        sd_bus_call_method_async(loop.bus(), &call, server, serverPath, server, "Notify",
                                 &Core::notified, this, "susssasa{sv}i", appName, std::uint32_t{0},
                                 "", title.c_str(), body.c_str(), 0, 0, defaultExpiry);
    if (result < 0) {
      finished(1);
      dropped(std::string("cannot reach the notification server (") + std::strerror(-result) + ")");
      return;
    }
    notifyCalls.push_back(call);
  }

  static int notified(sd_bus_message *reply, void *userdata, sd_bus_error *) {
    auto *core = static_cast<Core *>(userdata);
    sd_bus_slot *call = sd_bus_get_current_slot(core->loop.bus());
    std::erase(core->notifyCalls, call);
    sd_bus_slot_unref(call);
    core->finished(1);
    if (const sd_bus_error *error = sd_bus_message_get_error(reply))
      dropped(errorText(error));
    return 0;
  }

  void dropQueued(const std::string &why) {
    if (queued.empty())
      return;
    finished(queued.size());
    queued.clear();
    dropped(why);
  }

  void finished(std::size_t count) { waiting->fetch_sub(count); }

  BusLoop &loop;
  double callTimeout;
  std::shared_ptr<std::atomic<std::size_t>> waiting;
  bool configured = false;
  std::optional<bool> markup; // known once the server has answered
  std::deque<NotificationRules::Note> queued;
  sd_bus_slot *capabilitiesCall = nullptr;
  std::vector<sd_bus_slot *> notifyCalls;
};

SystemNotifier::SystemNotifier() : SystemNotifier(Options{}) {}

SystemNotifier::SystemNotifier(Options options)
    : options_(std::move(options)), waiting_(std::make_shared<std::atomic<std::size_t>>(0)) {
  loop_ = std::make_unique<BusLoop>("corvane.notify", BusLoop::Kind::session, options_.busAddress);
  core_ = std::make_unique<Core>(*loop_, options_.callTimeout, waiting_);
}

SystemNotifier::~SystemNotifier() {
  loop_.reset(); // joins the bus thread before its state goes
  core_.reset();
}

void SystemNotifier::post(const NotificationRules::Note &note) {
  // Permission is the one request of a run, and desktop notifications grant it at once.
  asked_ = true;
  if (waiting_->load() >= options_.maxWaiting) {
    dropped("too many notes waiting for the notification server");
    return;
  }
  waiting_->fetch_add(1);
  loop_->post([core = core_.get(), note] { core->post(note); });
}

} // namespace corvane
