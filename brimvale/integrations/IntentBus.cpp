#include "brimvale/integrations/IntentBus.h"

#include "brimvale/foundation/DisplayText.h"
#include "brimvale/integrations/CorvaneShortcuts.h"
#include "brimvale/integrations/PortResolution.h"
#include "brimvale/platform/BusLoop.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/Unicode.h"

#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <variant>

namespace corvane {

namespace {

constexpr const char *unavailableError = "org.corvane.Corvane.Error.Unavailable";
constexpr const char *busyError = "org.corvane.Corvane.Error.Busy";
constexpr const char *timedOutError = "org.corvane.Corvane.Error.TimedOut";
constexpr const char *accessDeniedError = "org.freedesktop.DBus.Error.AccessDenied";
constexpr const char *invalidArgsError = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr const char *unavailableText = "Corvane isn't running right now.";
constexpr const char *busyText = "Corvane is busy. Try again in a moment.";
constexpr const char *timedOutText = "Corvane couldn't finish that in time.";
constexpr const char *notOwnerText = "Only this computer's own user can switch sharing.";
constexpr std::size_t environmentNameLimit = 40;
constexpr const char *busDriver = "org.freedesktop.DBus";
constexpr const char *busDriverPath = "/org/freedesktop/DBus";
// The bus daemon's answers to RequestName.
constexpr std::uint32_t requestPrimaryOwner = 1;
constexpr std::uint32_t requestInQueue = 2;
constexpr std::uint32_t requestAlreadyOwner = 4;
// KRunner's "possible match" category.
constexpr std::int32_t runnerPossibleMatch = 30;

struct BusError {
  std::string name;
  std::string message;
};

// What the main queue hands back for one call.
using Payload = std::variant<std::monostate, IntentResult, IntentFailure, BusError,
                             std::vector<std::string>, std::vector<PortEntity>>;

// One call as the main queue handles it.
struct Request {
  std::string member;
  std::string text;  // port, share or environment; the runner's query; the result to activate
  std::string state; // "on" or "off"
  bool flag = false;
  std::vector<std::string> list;     // search terms, or result identifiers
  std::vector<std::string> previous; // a sub-search's earlier results
};

bool isSwitching(std::string_view member) {
  return member == "SetShare" || member == "SetEnvironment" || member == "SetSharingPaused";
}

// A port identifier: a device identifier (lower-case hex digits), "/", and a share identifier
// (a UUID).
bool looksLikePortIdentifier(std::string_view text) {
  const auto slash = text.find('/');
  if (slash == 0 || slash == std::string_view::npos)
    return false;
  for (char c : text.substr(0, slash))
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
      return false;
  const std::string_view uuid = text.substr(slash + 1);
  if (uuid.size() != 36)
    return false;
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (uuid[i] == '-') || (!dash && !std::isxdigit(static_cast<unsigned char>(uuid[i]))))
      return false;
  }
  return true;
}

int readBoundedString(sd_bus_message *m, std::string &out) {
  const char *text = nullptr;
  int result = sd_bus_message_read(m, "s", &text);
  if (result < 0)
    return result;
  if (std::strlen(text) > IntentBus::maxArgumentBytes)
    return -E2BIG;
  out = text;
  return 0;
}

int readBoundedList(sd_bus_message *m, std::vector<std::string> &out) {
  int result = sd_bus_message_enter_container(m, 'a', "s");
  if (result < 0)
    return result;
  const char *text = nullptr;
  while ((result = sd_bus_message_read(m, "s", &text)) > 0) {
    if (out.size() >= IntentBus::maxListEntries || std::strlen(text) > IntentBus::maxArgumentBytes)
      return -E2BIG;
    out.emplace_back(text);
  }
  if (result < 0)
    return result;
  return sd_bus_message_exit_container(m);
}

} // namespace

std::string busErrorName(const IntentFailure &failure) {
  using Case = IntentFailure::Case;
  const char *name = "Failed";
  switch (failure.which()) {
  case Case::noPortNamed: name = "NoPortNamed"; break;
  case Case::ambiguousPort: name = "AmbiguousPort"; break;
  case Case::away: name = "Away"; break;
  case Case::off: name = "Off"; break;
  case Case::notRunning: name = "NotRunning"; break;
  case Case::failed: name = "Failed"; break;
  case Case::noConnectionString: name = "NoConnectionString"; break;
  case Case::noApp: name = "NoApp"; break;
  case Case::unknownEnvironment: name = "UnknownEnvironment"; break;
  case Case::unknownPort: name = "UnknownPort"; break;
  case Case::unknownShare: name = "UnknownShare"; break;
  }
  return std::string(IntentBus::errorPrefix) + name;
}

std::expected<PortEntity, IntentFailure> resolvePort(const ServiceManager &manager,
                                                     std::string_view text) {
  const auto &incoming = manager.incoming.get();
  if (const IncomingService *row = findIncoming(incoming, text))
    return portEntity(*row);
  const auto named = findPortByName(text, incoming, manager.pairedPeers.get());
  if (named)
    return portEntity(*named);
  if (named.error().which() == IntentFailure::Case::noPortNamed && looksLikePortIdentifier(text))
    return std::unexpected(IntentFailure::unknownPort());
  return std::unexpected(named.error());
}

std::expected<ShareEntity, IntentFailure> resolveShare(const ServiceManager &manager,
                                                       std::string_view text) {
  const auto &services = manager.preferences->services;
  for (const auto &share : services)
    if (share.id == text)
      return shareEntity(share);
  const std::string cleaned = cleanDisplayText(text, environmentNameLimit);
  for (const auto &share : services)
    if (equalsIgnoringCase(share.name, cleaned))
      return shareEntity(share);
  return std::unexpected(IntentFailure::unknownShare());
}

std::expected<EnvironmentEntity, IntentFailure> resolveEnvironment(const ServiceManager &manager,
                                                                   std::string_view text) {
  const auto environments =
      manager.preferences->environments.value_or(std::vector<ShareEnvironment>{});
  for (const auto &environment : environments)
    if (environment.id == text)
      return environmentEntity(environment);
  const auto found = findEnvironmentNamed(text, environments);
  if (!found)
    return std::unexpected(found.error());
  for (const auto &environment : environments)
    if (environment.id == *found)
      return environmentEntity(environment);
  return std::unexpected(IntentFailure::unknownEnvironment(std::string(text)));
}

// ---------------------------------------------------------------------------------------------
// The bus thread.

struct IntentBus::Core {
  struct Pending {
    sd_bus_message *call = nullptr;
  };

  Core(BusLoop &loop, Options options, std::weak_ptr<Main> main, std::weak_ptr<MainQueue> queue)
      : loop(loop), options(std::move(options)), main(std::move(main)), queue(std::move(queue)) {}

  ~Core() {
    // The loop has ended: nothing else uses these messages any more.
    for (auto &[id, pending] : pendingCalls)
      sd_bus_message_unref(pending.call);
  }

  void start();
  // Registers the call, or answers at once when too many wait; 0 when it was refused.
  std::uint64_t hold(sd_bus_message *call);
  void dispatch(std::uint64_t id, Request request);
  void answer(std::uint64_t id, const Payload &payload);
  void publishParameters(std::vector<PortEntity> ports,
                         std::vector<EnvironmentEntity> environments);

  static int method(sd_bus_message *m, void *userdata, sd_bus_error *error);
  static int callerChecked(sd_bus_message *reply, void *userdata, sd_bus_error *error);
  static int property(sd_bus *bus, const char *path, const char *interface, const char *property,
                      sd_bus_message *reply, void *userdata, sd_bus_error *error);
  static int nameRequested(sd_bus_message *reply, void *userdata, sd_bus_error *error);
  static int holderFound(sd_bus_message *reply, void *userdata, sd_bus_error *error);
  static int nameChanged(sd_bus_message *signal, void *userdata, sd_bus_error *error);
  // Said once per run: a name that stays taken is no news the second time.
  void notOurs(const std::string &why);

  BusLoop &loop;
  Options options;
  std::weak_ptr<Main> main;
  std::weak_ptr<MainQueue> queue;
  std::map<std::uint64_t, Pending> pendingCalls;
  std::uint64_t lastID = 0;
  std::vector<PortEntity> portChoices;
  std::vector<EnvironmentEntity> environmentChoices;
  // Queued behind another connection for the bus name; it passes to us when that one goes.
  bool waitingForName = false;
  bool notOursLogged = false;
};

struct IntentBus::Bridge {
  std::mutex lock;
  BusLoop *loop = nullptr; // none once the service stops
  Core *core = nullptr;

  void answer(std::uint64_t id, Payload payload) {
    std::lock_guard guard(lock);
    if (loop)
      loop->post([core = core, id, payload = std::move(payload)] { core->answer(id, payload); });
  }
  void post(std::function<void(Core &)> work) {
    std::lock_guard guard(lock);
    if (loop)
      loop->post([core = core, work = std::move(work)] { work(*core); });
  }
};

namespace {

// One answer to send; a call dropped without one (the main queue or the manager went) is
// answered as unavailable.
class Reply {
public:
  Reply(std::shared_ptr<IntentBus::Bridge> bridge, std::uint64_t id)
      : bridge_(std::move(bridge)), id_(id) {}
  ~Reply() {
    if (!sent_)
      bridge_->answer(id_, BusError{unavailableError, unavailableText});
  }
  Reply(const Reply &) = delete;
  Reply &operator=(const Reply &) = delete;

  void send(Payload payload) {
    if (std::exchange(sent_, true))
      return;
    bridge_->answer(id_, std::move(payload));
  }

private:
  std::shared_ptr<IntentBus::Bridge> bridge_;
  std::uint64_t id_;
  bool sent_ = false;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// The main queue.

struct IntentBus::Main {
  std::weak_ptr<ServiceManager> manager;
  IntentDependencies dependencies;
  std::shared_ptr<SearchIndex> index;
  std::shared_ptr<SerialRunner> runner;
  std::shared_ptr<Bridge> bridge;
  Published<std::vector<IncomingService>>::Subscription spotlight;
  Published<Preferences>::Subscription siriNames;

  void updateAppShortcutParameters() {
    PortQuery ports{manager};
    EnvironmentQuery environments{manager};
    bridge->post([ports = ports.suggestedEntities(),
                  environments = environments.suggestedEntities()](Core &core) mutable {
      core.publishParameters(std::move(ports), std::move(environments));
    });
  }

  void handle(const Request &request, std::shared_ptr<Reply> reply);
};

void IntentBus::Main::handle(const Request &request, std::shared_ptr<Reply> reply) {
  auto strong = manager.lock();
  if (!strong)
    return; // the reply says unavailable
  const auto &member = request.member;
  auto done = [reply](IntentOutcome outcome) {
    if (outcome)
      reply->send(*outcome);
    else
      reply->send(outcome.error());
  };

  // Search providers.
  if (member == "GetInitialResultSet") {
    reply->send(index->search(request.list));
    return;
  }
  if (member == "GetSubsearchResultSet") {
    reply->send(index->search(request.list, &request.previous));
    return;
  }
  if (member == "GetResultMetas") {
    std::vector<PortEntity> metas;
    for (const auto &id : request.list)
      if (const auto *item = index->find(id))
        metas.push_back(item->entity);
    reply->send(std::move(metas));
    return;
  }
  if (member == "Match") {
    std::vector<PortEntity> matches;
    for (const auto &id : index->search({request.text}))
      matches.push_back(index->find(id)->entity);
    reply->send(std::move(matches));
    return;
  }
  if (member == "ActivateResult" || member == "Run") {
    // The entity's default action: show the port, which copies its address.
    const auto *item = index->find(request.text);
    PortEntity target = item ? item->entity : PortEntity{request.text, {}, {}, {}};
    ShowPortIntent{std::move(target)}.perform(
        dependencies, [reply](IntentOutcome) { reply->send(std::monostate{}); });
    return;
  }
  if (member == "LaunchSearch") {
    if (!strong->isPanelVisible() && dependencies.openPanel)
      dependencies.openPanel();
    reply->send(std::monostate{});
    return;
  }

  // Intents.
  if (member == "SetSharingPaused") {
    SetSharingPausedIntent{*switchFromRaw(request.state)}.perform(dependencies, done);
    return;
  }
  if (member == "SetShare") {
    const auto share = resolveShare(*strong, request.text);
    if (!share)
      return reply->send(share.error());
    SetShareIntent{*share, *switchFromRaw(request.state)}.perform(dependencies, done);
    return;
  }
  if (member == "SetEnvironment") {
    const auto environment = resolveEnvironment(*strong, request.text);
    if (!environment)
      return reply->send(environment.error());
    SetEnvironmentIntent{*environment, *switchFromRaw(request.state)}.perform(dependencies, done);
    return;
  }
  const auto port = resolvePort(*strong, request.text);
  if (!port)
    return reply->send(port.error());
  if (member == "CopyPortAddress")
    CopyPortAddressIntent{*port}.perform(dependencies, done);
  else if (member == "GetConnectionString")
    GetConnectionStringIntent{*port, request.flag}.perform(dependencies, done);
  else if (member == "OpenPort")
    OpenPortIntent{*port}.perform(dependencies, done);
  else if (member == "ShowPort")
    ShowPortIntent{*port}.perform(dependencies, done);
  else
    reply->send(BusError{"org.freedesktop.DBus.Error.UnknownMethod", "No such method."});
}

// ---------------------------------------------------------------------------------------------
// The bus thread's work.

namespace {

const sd_bus_vtable intentsVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES("CopyPortAddress", "s", SD_BUS_PARAM(port), "ss",
                             SD_BUS_PARAM(value) SD_BUS_PARAM(dialog), IntentBus::Core::method,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("GetConnectionString", "sb", SD_BUS_PARAM(port) SD_BUS_PARAM(copy),
                             "ss", SD_BUS_PARAM(value) SD_BUS_PARAM(dialog),
                             IntentBus::Core::method, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("OpenPort", "s", SD_BUS_PARAM(port), "ss",
                             SD_BUS_PARAM(value) SD_BUS_PARAM(dialog), IntentBus::Core::method,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("ShowPort", "s", SD_BUS_PARAM(port), "ss",
                             SD_BUS_PARAM(value) SD_BUS_PARAM(dialog), IntentBus::Core::method,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("SetShare", "ss", SD_BUS_PARAM(share) SD_BUS_PARAM(state), "ss",
                             SD_BUS_PARAM(value) SD_BUS_PARAM(dialog), IntentBus::Core::method,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("SetEnvironment", "ss", SD_BUS_PARAM(environment) SD_BUS_PARAM(state),
                             "ss", SD_BUS_PARAM(value) SD_BUS_PARAM(dialog),
                             IntentBus::Core::method, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("SetSharingPaused", "s", SD_BUS_PARAM(state), "ss",
                             SD_BUS_PARAM(value) SD_BUS_PARAM(dialog), IntentBus::Core::method,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

const sd_bus_vtable shortcutsVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Shortcuts", "a(ssas)", IntentBus::Core::property, 0,
                    SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Ports", "a(ss)", IntentBus::Core::property, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Environments", "a(ss)", IntentBus::Core::property, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_VTABLE_END};

const sd_bus_vtable searchProviderVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES("GetInitialResultSet", "as", SD_BUS_PARAM(terms), "as",
                             SD_BUS_PARAM(results), IntentBus::Core::method,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES(
        "GetSubsearchResultSet", "asas", SD_BUS_PARAM(previous_results) SD_BUS_PARAM(terms), "as",
        SD_BUS_PARAM(results), IntentBus::Core::method, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("GetResultMetas", "as", SD_BUS_PARAM(identifiers), "aa{sv}",
                             SD_BUS_PARAM(metas), IntentBus::Core::method,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("ActivateResult", "sasu",
                             SD_BUS_PARAM(identifier) SD_BUS_PARAM(terms) SD_BUS_PARAM(timestamp),
                             "", , IntentBus::Core::method, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("LaunchSearch", "asu", SD_BUS_PARAM(terms) SD_BUS_PARAM(timestamp), "",
                             , IntentBus::Core::method, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

const sd_bus_vtable runnerVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES("Actions", "", , "a(sss)", SD_BUS_PARAM(matches),
                             IntentBus::Core::method, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("Match", "s", SD_BUS_PARAM(query), "a(sssida{sv})",
                             SD_BUS_PARAM(matches), IntentBus::Core::method,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("Run", "ss", SD_BUS_PARAM(matchId) SD_BUS_PARAM(actionId), "", ,
                             IntentBus::Core::method, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Teardown", "", "", IntentBus::Core::method, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

struct CallerCheck {
  IntentBus::Core *core;
  std::uint64_t id;
  Request request;
};

int appendPair(sd_bus_message *reply, const std::string &a, const std::string &b) {
  return sd_bus_message_append(reply, "(ss)", a.c_str(), b.c_str());
}

} // namespace

void IntentBus::Core::start() {
  sd_bus *bus = loop.bus();
  if (bus == nullptr) {
    Logger::app().notice(std::string("No session bus, so intents and search are not offered: ") +
                         std::strerror(-loop.openError()));
    return;
  }
  sd_bus_set_method_call_timeout(bus, busMicroseconds(options.replyTimeout));
  // Floating slots: the bus owns them and drops them when it closes.
  const struct {
    const char *path;
    const char *interface;
    const sd_bus_vtable *vtable;
  } objects[] = {{objectPath, intentsInterface, intentsVtable},
                 {objectPath, shortcutsInterface, shortcutsVtable},
                 {searchProviderPath, searchProviderInterface, searchProviderVtable},
                 {runnerPath, runnerInterface, runnerVtable}};
  for (const auto &object : objects)
    if (int result = sd_bus_add_object_vtable(bus, nullptr, object.path, object.interface,
                                              object.vtable, this);
        result < 0)
      Logger::app().error(std::string("Could not offer ") + object.interface + ": " +
                          std::strerror(-result));
  // The bus daemon tells the owner of its names by these signals, whatever the match rule.
  for (const char *member : {"NameAcquired", "NameLost"})
    if (int result = sd_bus_match_signal_async(bus, nullptr, busDriver, busDriverPath, busDriver,
                                               member, &Core::nameChanged, nullptr, this);
        result < 0)
      Logger::app().error(std::string("Could not watch the bus name: ") + std::strerror(-result));
  // Queued without replacement: another instance on this session bus (another home) keeps the
  // name while it runs, and this one takes it over when that one stops.
  if (int result = sd_bus_request_name_async(bus, nullptr, busName, SD_BUS_NAME_QUEUE,
                                             &Core::nameRequested, this);
      result < 0)
    Logger::app().error(std::string("Could not ask for the bus name: ") + std::strerror(-result));
}

void IntentBus::Core::notOurs(const std::string &why) {
  if (std::exchange(notOursLogged, true))
    return;
  Logger::app().notice(std::string("The bus name ") + busName + " is " + why +
                       "; intents and search answer at the connection's own name only until "
                       "it is ours");
}

int IntentBus::Core::nameRequested(sd_bus_message *reply, void *userdata, sd_bus_error *) {
  auto *core = static_cast<Core *>(userdata);
  if (const sd_bus_error *error = sd_bus_message_get_error(reply)) {
    core->notOurs(std::string("not ours (") + (error->message ? error->message : error->name) +
                  ")");
    return 0;
  }
  std::uint32_t answer = 0;
  if (sd_bus_message_read(reply, "u", &answer) <= 0) {
    core->notOurs("not ours (the bus answered with something else)");
    return 0;
  }
  switch (answer) {
  case requestPrimaryOwner:
  case requestAlreadyOwner: return 0;
  case requestInQueue: {
    core->waitingForName = true;
    // Who holds it helps to find the other instance; without the answer the notice goes alone.
    sd_bus *bus = sd_bus_message_get_bus(reply);
    if (sd_bus_call_method_async(bus, nullptr, busDriver, busDriverPath, busDriver,
                                 "GetConnectionUnixProcessID", &Core::holderFound, core, "s",
                                 busName) < 0)
      core->notOurs("held by another connection");
    return 0;
  }
  default: core->notOurs("held by another connection"); return 0;
  }
}

int IntentBus::Core::holderFound(sd_bus_message *reply, void *userdata, sd_bus_error *) {
  auto *core = static_cast<Core *>(userdata);
  // The holder may have gone meanwhile, and the name come to us: then the answer is our own.
  if (!core->waitingForName)
    return 0;
  std::uint32_t pid = 0;
  if (!sd_bus_message_is_method_error(reply, nullptr) && sd_bus_message_read(reply, "u", &pid) > 0)
    core->notOurs("held by process " + std::to_string(pid));
  else
    core->notOurs("held by another connection");
  return 0;
}

int IntentBus::Core::nameChanged(sd_bus_message *signal, void *userdata, sd_bus_error *) {
  auto *core = static_cast<Core *>(userdata);
  const char *name = nullptr;
  if (sd_bus_message_read(signal, "s", &name) <= 0 || std::strcmp(name, busName) != 0)
    return 0;
  if (sd_bus_message_is_signal(signal, busDriver, "NameAcquired") > 0) {
    if (std::exchange(core->waitingForName, false))
      Logger::app().notice(std::string("The bus name ") + busName + " is ours now");
  } else {
    core->waitingForName = true;
    Logger::app().notice(std::string("The bus name ") + busName +
                         " was taken by another connection; waiting for it again");
  }
  return 0;
}

std::uint64_t IntentBus::Core::hold(sd_bus_message *call) {
  if (pendingCalls.size() >= options.maxPending) {
    sd_bus_reply_method_errorf(call, busyError, "%s", busyText);
    return 0;
  }
  const std::uint64_t id = ++lastID;
  pendingCalls[id] = Pending{sd_bus_message_ref(call)};
  loop.postAfter(options.replyTimeout, [this, id] {
    answer(id, BusError{timedOutError, timedOutText});
  });
  return id;
}

int IntentBus::Core::method(sd_bus_message *m, void *userdata, sd_bus_error *error) {
  auto *core = static_cast<Core *>(userdata);
  Request request;
  request.member = sd_bus_message_get_member(m);
  const auto &member = request.member;
  int result = 0;
  if (member == "Teardown")
    return sd_bus_reply_method_return(m, "");
  if (member == "Actions")
    return sd_bus_reply_method_return(m, "a(sss)", 0);
  if (member == "GetInitialResultSet" || member == "GetResultMetas") {
    result = readBoundedList(m, request.list);
  } else if (member == "GetSubsearchResultSet") {
    if ((result = readBoundedList(m, request.previous)) >= 0)
      result = readBoundedList(m, request.list);
  } else if (member == "ActivateResult") {
    if ((result = readBoundedString(m, request.text)) >= 0)
      result = readBoundedList(m, request.list);
  } else if (member == "LaunchSearch") {
    result = readBoundedList(m, request.list);
  } else if (member == "Run") {
    std::string action;
    if ((result = readBoundedString(m, request.text)) >= 0)
      result = readBoundedString(m, action);
  } else if (member == "SetSharingPaused") {
    result = readBoundedString(m, request.state);
  } else if (member == "SetShare" || member == "SetEnvironment") {
    if ((result = readBoundedString(m, request.text)) >= 0)
      result = readBoundedString(m, request.state);
  } else if (member == "GetConnectionString") {
    int flag = 0;
    if ((result = readBoundedString(m, request.text)) >= 0)
      result = sd_bus_message_read(m, "b", &flag);
    request.flag = flag != 0;
  } else {
    result = readBoundedString(m, request.text); // a port, or the runner's query
  }
  if (result < 0)
    return sd_bus_error_setf(error, invalidArgsError, "The arguments could not be read (%s).",
                             std::strerror(-result));
  if (isSwitching(member) && !switchFromRaw(request.state))
    return sd_bus_error_setf(error, invalidArgsError, "The state is \"on\" or \"off\".");

  const std::uint64_t id = core->hold(m);
  if (id == 0)
    return 1;
  if (!isSwitching(member)) {
    core->dispatch(id, std::move(request));
    return 1;
  }
  // Switching is for this machine's own user only: ask the bus who the caller is.
  auto *check = new CallerCheck{core, id, std::move(request)};
  sd_bus_slot *slot = nullptr;
  result = sd_bus_call_method_async(sd_bus_message_get_bus(m), &slot, "org.freedesktop.DBus",
                                    "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                    "GetConnectionUnixUser", &Core::callerChecked, check, "s",
                                    sd_bus_message_get_sender(m));
  if (result < 0) {
    delete check;
    core->answer(id, BusError{accessDeniedError, notOwnerText});
    return 1;
  }
  sd_bus_slot_set_destroy_callback(
      slot, [](void *userdata) { delete static_cast<CallerCheck *>(userdata); });
  sd_bus_slot_set_floating(slot, 1);
  sd_bus_slot_unref(slot);
  return 1;
}

int IntentBus::Core::callerChecked(sd_bus_message *reply, void *userdata, sd_bus_error *) {
  auto *check = static_cast<CallerCheck *>(userdata);
  std::uint32_t uid = 0;
  const bool known =
      sd_bus_message_get_error(reply) == nullptr && sd_bus_message_read(reply, "u", &uid) > 0;
  const uid_t owner = check->core->options.ownerUid.value_or(geteuid());
  if (!known || uid != owner) {
    check->core->answer(check->id, BusError{accessDeniedError, notOwnerText});
    return 0;
  }
  check->core->dispatch(check->id, std::move(check->request));
  return 0;
}

void IntentBus::Core::dispatch(std::uint64_t id, Request request) {
  auto mainQueue = queue.lock();
  auto state = main.lock();
  if (!mainQueue || !state) {
    answer(id, BusError{unavailableError, unavailableText});
    return;
  }
  auto reply = std::make_shared<Reply>(state->bridge, id);
  state.reset();
  // Never waits for the main queue: the answer comes back through the bridge.
  mainQueue->post([weak = main, reply, request = std::move(request)] {
    if (auto state = weak.lock())
      state->handle(request, reply);
  });
}

void IntentBus::Core::answer(std::uint64_t id, const Payload &payload) {
  auto found = pendingCalls.find(id);
  if (found == pendingCalls.end())
    return; // answered already, or timed out
  sd_bus_message *call = found->second.call;
  pendingCalls.erase(found);
  const std::string member = sd_bus_message_get_member(call);

  int result = 0;
  if (const auto *failure = std::get_if<IntentFailure>(&payload)) {
    result = sd_bus_reply_method_errorf(call, busErrorName(*failure).c_str(), "%s",
                                        failure->localizedStringResource().c_str());
  } else if (const auto *error = std::get_if<BusError>(&payload)) {
    result = sd_bus_reply_method_errorf(call, error->name.c_str(), "%s", error->message.c_str());
  } else if (const auto *intent = std::get_if<IntentResult>(&payload)) {
    result = sd_bus_reply_method_return(call, "ss", intent->value.value_or("").c_str(),
                                        intent->dialog.value_or("").c_str());
  } else if (const auto *ids = std::get_if<std::vector<std::string>>(&payload)) {
    sd_bus_message *reply = nullptr;
    if ((result = sd_bus_message_new_method_return(call, &reply)) >= 0 &&
        (result = sd_bus_message_open_container(reply, 'a', "s")) >= 0) {
      for (const auto &each : *ids)
        if ((result = sd_bus_message_append(reply, "s", each.c_str())) < 0)
          break;
      if (result >= 0 && (result = sd_bus_message_close_container(reply)) >= 0)
        result = sd_bus_send(nullptr, reply, nullptr);
    }
    sd_bus_message_unref(reply);
  } else if (const auto *entities = std::get_if<std::vector<PortEntity>>(&payload)) {
    const bool runner = member == "Match";
    sd_bus_message *reply = nullptr;
    if ((result = sd_bus_message_new_method_return(call, &reply)) >= 0 &&
        (result = sd_bus_message_open_container(reply, 'a', runner ? "(sssida{sv})" : "a{sv}")) >=
            0) {
      for (const auto &entity : *entities) {
        const std::string title = entity.title();
        if (runner)
          result = sd_bus_message_append(reply, "(sssida{sv})", entity.id.c_str(), title.c_str(),
                                         portIconName, runnerPossibleMatch, 1.0, 1, "subtext", "s",
                                         entity.subtitle().c_str());
        else
          result = sd_bus_message_append(reply, "a{sv}", 4, "id", "s", entity.id.c_str(), "name",
                                         "s", title.c_str(), "description", "s",
                                         entity.subtitle().c_str(), "gicon", "s", portIconName);
        if (result < 0)
          break;
      }
      if (result >= 0 && (result = sd_bus_message_close_container(reply)) >= 0)
        result = sd_bus_send(nullptr, reply, nullptr);
    }
    sd_bus_message_unref(reply);
  } else {
    result = sd_bus_reply_method_return(call, "");
  }
  if (result < 0)
    Logger::app().debug(std::string("An answer on the bus could not be sent: ") +
                        std::strerror(-result));
  sd_bus_message_unref(call);
}

void IntentBus::Core::publishParameters(std::vector<PortEntity> ports,
                                        std::vector<EnvironmentEntity> environments) {
  portChoices = std::move(ports);
  environmentChoices = std::move(environments);
  if (loop.bus() != nullptr)
    sd_bus_emit_properties_changed(loop.bus(), objectPath, shortcutsInterface, "Ports",
                                   "Environments", nullptr);
}

int IntentBus::Core::property(sd_bus *, const char *, const char *, const char *property,
                              sd_bus_message *reply, void *userdata, sd_bus_error *) {
  auto *core = static_cast<Core *>(userdata);
  const std::string_view name = property;
  int result = 0;
  if (name == "Shortcuts") {
    if ((result = sd_bus_message_open_container(reply, 'a', "(ssas)")) < 0)
      return result;
    for (const auto &shortcut : CorvaneShortcuts::appShortcuts()) {
      static constexpr const char *methods[] = {"CopyPortAddress", "GetConnectionString",
                                                "OpenPort", "SetSharingPaused", "SetEnvironment"};
      if ((result = sd_bus_message_open_container(reply, 'r', "ssas")) < 0 ||
          (result = sd_bus_message_append(reply, "ss", methods[static_cast<int>(shortcut.intent)],
                                          shortcut.shortTitle.c_str())) < 0 ||
          (result = sd_bus_message_open_container(reply, 'a', "s")) < 0)
        return result;
      for (const auto &phrase : shortcut.phrases)
        if ((result = sd_bus_message_append(reply, "s", CorvaneShortcuts::render(phrase).c_str())) <
            0)
          return result;
      if ((result = sd_bus_message_close_container(reply)) < 0 ||
          (result = sd_bus_message_close_container(reply)) < 0)
        return result;
    }
    return sd_bus_message_close_container(reply);
  }
  if ((result = sd_bus_message_open_container(reply, 'a', "(ss)")) < 0)
    return result;
  if (name == "Ports") {
    for (const auto &port : core->portChoices)
      if ((result = appendPair(reply, port.id, port.title())) < 0)
        return result;
  } else {
    for (const auto &environment : core->environmentChoices)
      if ((result = appendPair(reply, environment.id, environment.name)) < 0)
        return result;
  }
  return sd_bus_message_close_container(reply);
}

// ---------------------------------------------------------------------------------------------

IntentBus::IntentBus(std::shared_ptr<ServiceManager> manager, IntentDependencies dependencies,
                     Options options)
    : main_(std::make_shared<Main>()), index_(std::make_shared<SearchIndex>()),
      bridge_(std::make_shared<Bridge>()) {
  dependencies.manager = manager;
  main_->manager = manager;
  main_->dependencies = std::move(dependencies);
  main_->index = index_;
  main_->runner = std::make_shared<SerialRunner>(manager->mainQueue());
  main_->bridge = bridge_;
  const double quiet = options.portRefreshQuiet;

  loop_ = std::make_unique<BusLoop>("corvane.intents", BusLoop::Kind::session, options.busAddress);
  core_ = std::make_unique<Core>(*loop_, std::move(options), main_, manager->mainQueue());
  {
    std::lock_guard guard(bridge_->lock);
    bridge_->loop = loop_.get();
    bridge_->core = core_.get();
  }
  loop_->post([core = core_.get()] { core->start(); });

  std::weak_ptr<Main> weak = main_;
  auto update = [weak] {
    if (auto state = weak.lock())
      state->updateAppShortcutParameters();
  };
  main_->spotlight = syncShortcutParameters(*manager, index_, main_->runner, update, quiet);
  main_->siriNames = syncEnvironmentNames(*manager, update);
}

IntentBus::~IntentBus() {
  main_->spotlight.reset();
  main_->siriNames.reset();
  {
    std::lock_guard guard(bridge_->lock);
    bridge_->loop = nullptr;
    bridge_->core = nullptr;
  }
  loop_.reset(); // joins the bus thread before its state goes
  core_.reset();
}

void IntentBus::updateAppShortcutParameters() {
  main_->updateAppShortcutParameters();
}

} // namespace corvane
