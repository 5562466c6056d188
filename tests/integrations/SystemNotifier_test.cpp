#include "brimvale/integrations/SystemNotifier.h"
#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/BusLoop.h"
#include "tests/support/Inbox.h"
#include "tests/support/OnLoop.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/StderrTap.h"
#include "tests/support/Wait.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <systemd/sd-bus.h>
#include <thread>
#include <vector>

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::count;
using testing::Inbox;
using testing::onLoop;
using testing::PrivateBus;
using testing::StderrTap;

// Debug lines are where dropped notes are told; the logger reads this once, at its first line.
const bool debugLogging = [] { return ::setenv("CORVANE_DEBUG", "1", 1) == 0; }();

// A notification server that records every Notify call. It can list "body-markup", answer its
// capabilities in the wrong form, or leave Notify calls unanswered.
class FakeServer {
public:
  struct Call {
    std::string app, icon, title, body;
    std::uint32_t replaces = 0;
    std::vector<std::string> actions;
    std::map<std::string, std::string> hints; // those with text values
    std::int32_t expiry = 0;
  };

  FakeServer(const std::string &address, std::vector<std::string> capabilities)
      : loop_("fake.notify", BusLoop::Kind::session, address),
        capabilities_(std::move(capabilities)) {
    registered_ = onLoop(loop_, [this] {
      // A plain object rather than a typed table, so that it can also answer in a wrong form.
      return loop_.bus() != nullptr &&
             sd_bus_add_object(loop_.bus(), nullptr, "/org/freedesktop/Notifications",
                               &FakeServer::dispatch, this) >= 0 &&
             sd_bus_request_name(loop_.bus(), "org.freedesktop.Notifications", 0) >= 0;
    });
  }

  ~FakeServer() {
    onLoop(loop_, [this] {
      for (auto *call : unanswered_)
        sd_bus_message_unref(call);
    });
  }

  bool registered() const { return registered_; }

  // As the server does when the user clicks the note `id` (Notify answers 7) or a button of it.
  bool click(std::uint32_t id, const std::string &action) {
    return onLoop(loop_, [&] {
      return sd_bus_emit_signal(loop_.bus(), "/org/freedesktop/Notifications",
                                "org.freedesktop.Notifications", "ActionInvoked", "us", id,
                                action.c_str()) >= 0;
    });
  }

  Inbox<Call> calls;
  std::atomic<bool> answer{true};
  std::atomic<bool> capabilitiesAsText{false};
  std::atomic<int> capabilityQuestions{0};

private:
  static int dispatch(sd_bus_message *call, void *userdata, sd_bus_error *error) {
    if (sd_bus_message_is_method_call(call, "org.freedesktop.Notifications", "GetCapabilities"))
      return capabilities(call, userdata, error);
    if (sd_bus_message_is_method_call(call, "org.freedesktop.Notifications", "Notify"))
      return notify(call, userdata, error);
    return 0;
  }

  static int capabilities(sd_bus_message *call, void *userdata, sd_bus_error *) {
    auto *self = static_cast<FakeServer *>(userdata);
    ++self->capabilityQuestions;
    sd_bus_message *reply = nullptr;
    sd_bus_message_new_method_return(call, &reply);
    if (self->capabilitiesAsText) {
      sd_bus_message_append(reply, "s", "body-markup");
      int result = sd_bus_send(nullptr, reply, nullptr);
      sd_bus_message_unref(reply);
      return result < 0 ? result : 1;
    }
    sd_bus_message_open_container(reply, 'a', "s");
    for (const auto &capability : self->capabilities_)
      sd_bus_message_append(reply, "s", capability.c_str());
    sd_bus_message_close_container(reply);
    int result = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return result < 0 ? result : 1;
  }

  static int notify(sd_bus_message *call, void *userdata, sd_bus_error *) {
    auto *self = static_cast<FakeServer *>(userdata);
    Call recorded;
    const char *app, *icon, *title, *body;
    if (sd_bus_message_read(call, "susss", &app, &recorded.replaces, &icon, &title, &body) < 0)
      return -EINVAL;
    recorded.app = app;
    recorded.icon = icon;
    recorded.title = title;
    recorded.body = body;
    sd_bus_message_enter_container(call, 'a', "s");
    const char *action;
    while (sd_bus_message_read(call, "s", &action) > 0)
      recorded.actions.push_back(action);
    sd_bus_message_exit_container(call);
    sd_bus_message_enter_container(call, 'a', "{sv}");
    while (sd_bus_message_enter_container(call, 'e', "sv") > 0) {
      const char *key = nullptr, *value = nullptr;
      sd_bus_message_read(call, "s", &key);
      if (sd_bus_message_enter_container(call, 'v', "s") > 0) {
        sd_bus_message_read(call, "s", &value);
        sd_bus_message_exit_container(call);
      } else {
        sd_bus_message_skip(call, "v");
      }
      recorded.hints[key ? key : ""] = value ? value : "";
      sd_bus_message_exit_container(call);
    }
    sd_bus_message_exit_container(call);
    sd_bus_message_read(call, "i", &recorded.expiry);
    self->calls.push(recorded);
    if (!self->answer) {
      self->unanswered_.push_back(sd_bus_message_ref(call));
      return 1;
    }
    int result = sd_bus_reply_method_return(call, "u", std::uint32_t{7});
    return result < 0 ? result : 1;
  }

  BusLoop loop_;
  std::vector<std::string> capabilities_;
  std::vector<sd_bus_message *> unanswered_;
  bool registered_ = false;
};

SystemNotifier::Options on(const std::string &address, double timeout = 5.0,
                           std::size_t backlog = 16) {
  return SystemNotifier::Options{address, timeout, backlog};
}

TEST(SystemNotifier, PostsEachNoteAsADesktopNotification) {
  PrivateBus bus(PrivateBus::Kind::session);
  ASSERT_FALSE(bus.address().empty());
  FakeServer server(bus.address(), {"body", "actions"});
  ASSERT_TRUE(server.registered());

  SystemNotifier notifier(on(bus.address()));
  EXPECT_FALSE(notifier.asked());
  notifier.post({"Postgres on Studio", "It stopped running on Studio."});
  EXPECT_TRUE(notifier.asked());
  notifier.post({"Studio is back", "Its ports are ready to use again."});

  auto first = server.calls.pop(20s);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->app, "Corvane");
  EXPECT_EQ(first->replaces, 0u);
  EXPECT_EQ(first->icon, "corvane");
  EXPECT_EQ(first->title, "Postgres on Studio");
  EXPECT_EQ(first->body, "It stopped running on Studio.");
  // A click on the note is its default action; the desktop finds the application by its entry.
  EXPECT_EQ(first->actions, (std::vector<std::string>{"default", "Open"}));
  EXPECT_EQ(first->hints, (std::map<std::string, std::string>{{"desktop-entry", "corvane"}}));
  EXPECT_EQ(first->expiry, -1);
  auto second = server.calls.pop(20s);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->title, "Studio is back");
  EXPECT_EQ(second->body, "Its ports are ready to use again.");
  EXPECT_TRUE(notifier.asked());
}

TEST(SystemNotifier, AClickOnOneOfItsNotesRunsTheClickActionOnTheMainQueue) {
  PrivateBus bus(PrivateBus::Kind::session);
  FakeServer server(bus.address(), {"body", "actions"});
  ASSERT_TRUE(server.registered());
  asio::io_context context;
  auto main = std::make_shared<AsioMainQueue>(context);
  int clicks = 0;
  std::thread::id clickedOn;
  auto notifier = std::make_unique<SystemNotifier>(on(bus.address()));
  notifier->setClickAction(main, [&] {
    ++clicks;
    clickedOn = std::this_thread::get_id();
  });
  const auto runMain = [&] {
    context.restart();
    context.poll();
  };
  notifier->post({"Postgres on Studio", "It stopped running on Studio."});
  ASSERT_TRUE(server.calls.pop(20s));
  // The server sends its clicks after its answer to Notify, so the notifier knows the note by
  // then. Another application's note, or another action, opens nothing; the click on the note
  // itself does, once.
  ASSERT_TRUE(server.click(8, "default"));
  ASSERT_TRUE(server.click(7, "other"));
  ASSERT_TRUE(server.click(7, "default"));
  EXPECT_TRUE(testing::waitUntil([&] {
    runMain();
    return clicks > 0;
  }));
  runMain();
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(clickedOn, std::this_thread::get_id());
  const int before = clicks;

  // Once the notifier is gone, a click that was on its way does nothing.
  ASSERT_TRUE(server.click(7, "default"));
  notifier.reset();
  runMain();
  EXPECT_EQ(clicks, before);
}

TEST(SystemNotifier, NamesNeverBecomeMarkupAndTextsStayWellFormed) {
  PrivateBus bus(PrivateBus::Kind::session);
  const NotificationRules::Note tricky{"<b>Redis</b> on A&B",
                                       "It stopped running on <a href=\"x\">A&B</a>."};
  {
    FakeServer server(bus.address(), {"body", "body-markup"});
    ASSERT_TRUE(server.registered());
    SystemNotifier notifier(on(bus.address()));
    notifier.post(tricky);
    auto call = server.calls.pop(20s);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->title, tricky.title); // titles are plain text
    EXPECT_EQ(call->body, "It stopped running on &lt;a href=\"x\"&gt;A&amp;B&lt;/a&gt;.");
  }
  {
    // A server without markup shows the body as it is; one that answers its capabilities in the
    // wrong form is taken as one without markup.
    FakeServer server(bus.address(), {"body"});
    ASSERT_TRUE(server.registered());
    SystemNotifier notifier(on(bus.address()));
    notifier.post(tricky);
    auto call = server.calls.pop(20s);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->body, tricky.body);
  }
  {
    FakeServer server(bus.address(), {});
    server.capabilitiesAsText = true;
    ASSERT_TRUE(server.registered());
    SystemNotifier notifier(on(bus.address()));
    // Malformed UTF-8 would make the whole call invalid; it is repaired, and length is bounded.
    notifier.post({"Caf\xC3 on Studio", std::string(5000, '&')});
    auto call = server.calls.pop(20s);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->title, "Caf\xEF\xBF\xBD on Studio");
    EXPECT_EQ(call->body, std::string(1024, '&'));
  }
}

TEST(SystemNotifier, WithoutBusOrServerNotesAreDroppedAndTold) {
  {
    StderrTap tap;
    SystemNotifier notifier(on("unix:path=/nonexistent/corvane-no-bus"));
    notifier.post({"Redis on Studio", "It stopped running on Studio."});
    EXPECT_EQ(count(tap.waitFor("not shown"), "Notification not shown: no session bus"), 1u);
    EXPECT_TRUE(notifier.asked());
  }
  PrivateBus bus(PrivateBus::Kind::session);
  SystemNotifier notifier(on(bus.address()));
  {
    StderrTap tap;
    notifier.post({"Redis on Studio", "It stopped running on Studio."});
    EXPECT_EQ(count(tap.waitFor("not shown"), "Notification not shown"), 1u);
  }
  // A server that appears later gets the next note.
  FakeServer server(bus.address(), {"body"});
  ASSERT_TRUE(server.registered());
  notifier.post({"Redis on Studio", "It stopped answering. Studio still shares it."});
  auto call = server.calls.pop(20s);
  ASSERT_TRUE(call);
  EXPECT_EQ(call->body, "It stopped answering. Studio still shares it.");
}

TEST(SystemNotifier, AStuckServerNeitherBlocksPostingNorCollectsNotes) {
  PrivateBus bus(PrivateBus::Kind::session);
  FakeServer server(bus.address(), {"body"});
  ASSERT_TRUE(server.registered());
  server.answer = false;
  SystemNotifier notifier(on(bus.address(), 0.5, 2));

  StderrTap tap;
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i)
    notifier.post({"Note " + std::to_string(i), "Body."});
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  EXPECT_EQ(count(tap.waitFor("too many"), "too many notes waiting"), 3u);
  ASSERT_TRUE(server.calls.pop(20s));
  ASSERT_TRUE(server.calls.pop(20s));
  // Both calls time out unanswered; then the backlog is free again.
  EXPECT_EQ(count(tap.waitFor("Error.NoReply", 20s, 2), "Error.NoReply"), 2u);
  server.answer = true;
  auto deadline = std::chrono::steady_clock::now() + 20s;
  std::optional<FakeServer::Call> call;
  while (!call && std::chrono::steady_clock::now() < deadline) {
    notifier.post({"Later", "Body."});
    call = server.calls.pop(200ms);
  }
  ASSERT_TRUE(call);
  EXPECT_EQ(call->title, "Later");
}

} // namespace
} // namespace corvane
