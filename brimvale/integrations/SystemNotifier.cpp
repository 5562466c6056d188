#include "brimvale/integrations/SystemNotifier.h"

#include "brimvale/platform/BusLoop.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/Unicode.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <systemd/sd-bus.h>

namespace corvane {

namespace {

constexpr const char *server = "org.freedesktop.Notifications";
constexpr const char *serverPath = "/org/freedesktop/Notifications";
constexpr const char *appName = "Corvane";
// The icon and the desktop entry the notes name: the installed corvane.svg and corvane.desktop.
constexpr const char *appIcon = "corvane";
constexpr const char *desktopEntry = "corvane";
// The action a click on the note itself invokes, and its label where a server shows one.
constexpr const char *clickAction = "default";
constexpr const char *clickLabel = "Open";
// Any client may send this signal; only the one from the server that showed the note counts.
constexpr const char *actionMatch =
    "type='signal',path='/org/freedesktop/Notifications',"
    "interface='org.freedesktop.Notifications',member='ActionInvoked'";
// The notes a click is listened for: the latest ones; an older note's click is not worth
// keeping track of every note ever shown.
constexpr std::size_t maxClickable = 64;
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
    sd_bus_slot_unref(actionMatchSlot);
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
      listenForClicks();
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
    int result = sd_bus_call_method_async(
        loop.bus(), &call, server, serverPath, server, "Notify", &Core::notified, this,
        "susssasa{sv}i", appName, std::uint32_t{0}, appIcon, title.c_str(), body.c_str(), 2,
        clickAction, clickLabel, 1, "desktop-entry", "s", desktopEntry, defaultExpiry);
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
    if (const sd_bus_error *error = sd_bus_message_get_error(reply)) {
      dropped(errorText(error));
      return 0;
    }
    std::uint32_t id = 0;
    const char *sender = sd_bus_message_get_sender(reply);
    if (sender != nullptr && sd_bus_message_read(reply, "u", &id) > 0 && id != 0) {
      // A server started anew numbers its notes anew.
      if (core->serverName != sender) {
        core->serverName = sender;
        core->clickable.clear();
      }
      core->clickable.push_back(id);
      if (core->clickable.size() > maxClickable)
        core->clickable.pop_front();
    }
    return 0;
  }

  // ActionInvoked comes for every application's notes: only a click on one of ours counts.
  void listenForClicks() {
    int result = sd_bus_add_match_async(loop.bus(), &actionMatchSlot, actionMatch,
                                        &Core::actionInvoked, nullptr, this);
    if (result < 0)
      Logger::app().debug(std::string("Clicks on notifications are not heard: ") +
                          std::strerror(-result));
  }

  static int actionInvoked(sd_bus_message *signal, void *userdata, sd_bus_error *) {
    auto *core = static_cast<Core *>(userdata);
    std::uint32_t id = 0;
    const char *action = nullptr;
    const char *sender = sd_bus_message_get_sender(signal);
    if (sender == nullptr || core->serverName != sender)
      return 0;
    if (sd_bus_message_read(signal, "us", &id, &action) <= 0 || action == nullptr ||
        std::strcmp(action, clickAction) != 0)
      return 0;
    if (std::find(core->clickable.begin(), core->clickable.end(), id) == core->clickable.end())
      return 0;
    if (core->clickQueue)
      core->clickQueue->post([weak = core->clicked] {
        if (const auto clicked = weak.lock(); clicked && *clicked)
          (*clicked)();
      });
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
  std::string serverName; // the unique bus name of the server that showed the notes
  std::deque<std::uint32_t> clickable;
  std::shared_ptr<MainQueue> clickQueue;
  std::weak_ptr<std::function<void()>> clicked;
  sd_bus_slot *actionMatchSlot = nullptr;
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

void SystemNotifier::setClickAction(std::shared_ptr<MainQueue> main, std::function<void()> action) {
  clicked_ = std::make_shared<std::function<void()>>(std::move(action));
  loop_->post([core = core_.get(), main = std::move(main),
               clicked = std::weak_ptr<std::function<void()>>(clicked_)]() mutable {
    core->clickQueue = std::move(main);
    core->clicked = std::move(clicked);
  });
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
