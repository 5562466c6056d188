#include "brimvale/network/Addresses.h"
#include "brimvale/network/PairingCoordinator.h"
#include "brimvale/network/PairingProtocol.h"
#include "brimvale/platform/AsioMainQueue.h"
#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/MemorySecretStore.h"
#include "brimvale/platform/RegistryDnsSd.h"

#include <algorithm>
#include <asio/connect.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace corvane {
namespace {

using asio::ip::tcp;
using State = PairingCoordinator::State;
using namespace std::chrono_literals;

// One side of a test: its own identity and peer store, and the coordinator under test.
struct Side {
  DeviceIdentity identity = DeviceIdentity::generate();
  std::shared_ptr<PairedPeerStore> store =
      std::make_shared<PairedPeerStore>(std::make_shared<MemorySecretStore>());
  std::shared_ptr<PairingCoordinator> coordinator;
  std::vector<State> states;
  std::vector<std::pair<std::string, std::optional<std::string>>> paired;

  State state() const { return coordinator->state(); }
};

// --- a scripted peer speaking the frames by hand, on a thread of its own ---

void writeFrame(tcp::socket &socket, const Frame &frame) {
  auto bytes = encodeFrame(frame);
  ASSERT_TRUE(bytes);
  asio::write(socket, asio::buffer(*bytes));
}

std::optional<Frame> readFrame(tcp::socket &socket) {
  Bytes header(4);
  std::error_code error;
  asio::read(socket, asio::buffer(header), error);
  if (error)
    return std::nullopt;
  auto length = parseFrameLength(header);
  if (!length)
    return std::nullopt;
  Bytes body(*length);
  asio::read(socket, asio::buffer(body), error);
  if (error)
    return std::nullopt;
  auto frame = decodeFrame(body);
  return frame ? std::optional<Frame>(*frame) : std::nullopt;
}

// True once the far side closed the connection without sending anything more.
bool closedByPeer(tcp::socket &socket) {
  std::uint8_t byte;
  std::error_code error;
  socket.read_some(asio::buffer(&byte, 1), error);
  return error == asio::error::eof || error == asio::error::connection_reset;
}

// The same without blocking: true when the far side has closed by now.
bool closedAlready(tcp::socket &socket) {
  std::uint8_t byte;
  const auto got = ::recv(socket.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Moves the calling thread, and the threads it starts from then on, into a network namespace of
// its own whose loopback also holds the IPv6 `addresses`, each in a /64; back to the old one at
// the end.
class OwnNetwork {
public:
  explicit OwnNetwork(const std::vector<std::string> &addresses)
      : old_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    if (old_ < 0 || ::unshare(CLONE_NEWNET) != 0)
      return;
    std::string command = "ip link set lo up";
    for (const auto &address : addresses)
      command += " && ip address add " + address + "/64 dev lo nodad";
    ready_ = std::system(command.c_str()) == 0;
  }
  ~OwnNetwork() {
    if (old_ >= 0) {
      ::setns(old_, CLONE_NEWNET);
      ::close(old_);
    }
  }
  bool ready() const { return ready_; }

private:
  int old_;
  bool ready_ = false;
};

class ScriptedPeer {
public:
  // Calls `port` on loopback from the address `from` (on loopback too) and runs `script` with
  // the connected socket.
  static std::unique_ptr<ScriptedPeer> calling(std::uint16_t port,
                                               std::function<void(tcp::socket &)> script,
                                               const char *from = "127.0.0.1") {
    auto peer = std::unique_ptr<ScriptedPeer>(new ScriptedPeer);
    peer->thread_ = std::thread([port, from, script = std::move(script), self = peer.get()] {
      tcp::socket socket(self->context_);
      std::error_code error;
      const auto source = asio::ip::make_address(from);
      socket.open(source.is_v6() ? tcp::v6() : tcp::v4(), error);
      if (!error)
        socket.bind({source, 0}, error);
      if (!error)
        socket.connect({asio::ip::make_address(source.is_v6() ? "::1" : "127.0.0.1"), port}, error);
      if (!error) {
        self->fd_ = socket.native_handle();
        script(socket);
      }
      self->done_ = true;
    });
    return peer;
  }

  // Listens on a loopback port and runs `script` with the first accepted socket.
  static std::unique_ptr<ScriptedPeer> answering(std::function<void(tcp::socket &)> script) {
    auto peer = std::unique_ptr<ScriptedPeer>(new ScriptedPeer);
    peer->acceptor_.emplace(peer->context_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    peer->port_ = peer->acceptor_->local_endpoint().port();
    peer->fd_ = peer->acceptor_->native_handle();
    peer->thread_ = std::thread([script = std::move(script), self = peer.get()] {
      std::error_code error;
      tcp::socket socket = self->acceptor_->accept(error);
      if (!error) {
        self->fd_ = socket.native_handle();
        script(socket);
      }
      self->done_ = true;
    });
    return peer;
  }

  // A script still blocked is woken up, so that a failing test cannot hang.
  ~ScriptedPeer() {
    if (!done_ && fd_ >= 0)
      ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
  }

  std::uint16_t port() const { return port_; }
  bool done() const { return done_; }

private:
  ScriptedPeer() = default;
  asio::io_context context_;
  std::optional<tcp::acceptor> acceptor_;
  std::uint16_t port_ = 0;
  std::atomic<int> fd_{-1};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Only the test's thread runs the main queue's context, so that thread is the main queue's,
// between runs as well.
class TestThreadMainQueue final : public AsioMainQueue {
public:
  using AsioMainQueue::AsioMainQueue;
  bool isCurrent() const override { return std::this_thread::get_id() == owner_; }

private:
  std::thread::id owner_ = std::this_thread::get_id();
};

// The main queue is an io_context run on the test's own thread, so the test reads the
// coordinators' fields on the queue they live on.
class PairingCoordinatorTest : public testing::Test {
protected:
  void SetUp() override { registry_ = DnsSdRegistry::create(); }

  void make(Side &side, std::string name, PairingCoordinator::Options options = {}) {
    if (!options.preferredPort ||
        *options.preferredPort == PairingCoordinator::defaultPreferredPort)
      options.preferredPort = std::nullopt;
    side.coordinator =
        PairingCoordinator::create(side.identity, side.store, std::move(name),
                                   RegistryDnsSd::create(registry_), mainQueue_, options);
    side.coordinator->onChange = [&side] {
      if (side.states.empty() || side.states.back() != side.state())
        side.states.push_back(side.state());
    };
    side.coordinator->onPaired = [&side](std::string id, std::optional<std::string> host) {
      side.paired.emplace_back(std::move(id), std::move(host));
    };
  }

  bool runUntil(const std::function<bool()> &done, std::chrono::milliseconds limit = 60s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      context_.run_for(5ms);
    }
    return true;
  }

  void runFor(std::chrono::milliseconds span) {
    auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end)
      context_.run_for(5ms);
  }

  // Runs the main queue until the script is through.
  void finish(std::unique_ptr<ScriptedPeer> &peer) {
    EXPECT_TRUE(runUntil([&] { return peer->done(); }));
    peer.reset();
  }

  void startAndWaitForPort(Side &side) {
    side.coordinator->startPairing();
    ASSERT_TRUE(runUntil([&] { return side.coordinator->port().has_value(); }));
  }

  static Endpoint loopback(std::uint16_t port) {
    return Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), port);
  }

  // B calls A at its loopback port; both reach compare.
  void reachCompare(Side &a, Side &b) {
    startAndWaitForPort(a);
    startAndWaitForPort(b);
    b.coordinator->pairWith(loopback(*a.coordinator->port()), "A", std::nullopt);
    ASSERT_TRUE(runUntil([&] {
      return a.state().kind == State::Kind::compare && b.state().kind == State::Kind::compare;
    }));
  }

  // Both confirm, and both store the other.
  void confirmBoth(Side &a, Side &b) {
    a.coordinator->confirm();
    b.coordinator->confirm();
    ASSERT_TRUE(runUntil([&] {
      return a.state().kind == State::Kind::success && b.state().kind == State::Kind::success;
    }));
    EXPECT_TRUE(a.store->findPeer(b.identity.deviceID()));
    EXPECT_TRUE(b.store->findPeer(a.identity.deviceID()));
  }

  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_{context_.get_executor()};
  std::shared_ptr<MainQueue> mainQueue_ = std::make_shared<TestThreadMainQueue>(context_);
  std::shared_ptr<DnsSdRegistry> registry_;
};

// --- the main road ---

TEST_F(PairingCoordinatorTest, TwoMachinesFindEachOtherCompareOneCodeAndStoreEachOther) {
  Side a, b;
  // What A calls itself reaches B's screen and store only cleaned.
  make(a, "\u202E Atelier\x07");
  make(b, "Bureau");
  startAndWaitForPort(a);
  b.coordinator->startPairing();
  ASSERT_TRUE(runUntil([&] { return !b.coordinator->candidates().empty(); }));
  // B never lists itself, though it advertises too.
  ASSERT_TRUE(runUntil([&] { return b.coordinator->port().has_value(); }));
  runFor(50ms);
  ASSERT_EQ(b.coordinator->candidates().size(), 1u);
  NearbyDevice found = b.coordinator->candidates().front();
  EXPECT_EQ(found.deviceID, a.identity.deviceID());
  EXPECT_EQ(found.name, "Atelier");

  b.coordinator->pairWith(found.endpoint, found.name, std::nullopt);
  EXPECT_EQ(b.state(), State::connecting("Atelier"));
  ASSERT_TRUE(runUntil([&] {
    return a.state().kind == State::Kind::compare && b.state().kind == State::Kind::compare;
  }));
  EXPECT_EQ(a.state().code, b.state().code);
  EXPECT_EQ(a.state().code.size(), 6u);
  EXPECT_EQ(a.state().name, "Bureau");
  EXPECT_EQ(b.state().name, "Atelier");
  EXPECT_TRUE(a.paired.empty());
  EXPECT_TRUE(a.store->peers().empty());

  a.coordinator->confirm();
  EXPECT_EQ(a.state(), State::waitingForPeer(b.state().code, "Bureau"));
  b.coordinator->confirm();
  ASSERT_TRUE(runUntil([&] {
    return a.state().kind == State::Kind::success && b.state().kind == State::Kind::success;
  }));
  EXPECT_EQ(a.state(), State::success("Bureau"));
  EXPECT_EQ(b.state(), State::success("Atelier"));

  ASSERT_EQ(a.paired.size(), 1u);
  EXPECT_EQ(a.paired[0].first, b.identity.deviceID());
  EXPECT_EQ(a.paired[0].second, std::optional<std::string>("127.0.0.1"));
  ASSERT_EQ(b.paired.size(), 1u);
  EXPECT_EQ(b.paired[0].first, a.identity.deviceID());
  EXPECT_EQ(b.paired[0].second, std::nullopt);

  auto inA = a.store->findPeer(b.identity.deviceID());
  auto inB = b.store->findPeer(a.identity.deviceID());
  ASSERT_TRUE(inA && inB);
  EXPECT_EQ(inA->publicKey, b.identity.publicKey());
  EXPECT_EQ(inB->publicKey, a.identity.publicKey());
  EXPECT_EQ(inB->name, "Atelier");

  // Success outlives stopping the run.
  b.coordinator->stopPairing();
  EXPECT_EQ(b.state(), State::success("Atelier"));
  EXPECT_FALSE(b.coordinator->port());
  EXPECT_TRUE(b.coordinator->candidates().empty());
}

TEST_F(PairingCoordinatorTest, TypedAddressAndThePeersConfirmationFirst) {
  Side a, b;
  PairingCoordinator::Options shortRun;
  shortRun.expiryDelay = 1.5;
  make(a, "A");
  make(b, "B", shortRun);
  startAndWaitForPort(a);
  startAndWaitForPort(b);
  const std::uint16_t port = *a.coordinator->port();
  auto text = ManualAddress::displayText("127.0.0.1", port);
  b.coordinator->pairWith(ManualAddress::endpoint("127.0.0.1", port, 46311), text, "127.0.0.1");
  EXPECT_EQ(b.state(), State::connecting("127.0.0.1:" + std::to_string(port)));
  ASSERT_TRUE(runUntil([&] {
    return a.state().kind == State::Kind::compare && b.state().kind == State::Kind::compare;
  }));

  a.coordinator->confirm();
  runFor(100ms);
  EXPECT_EQ(b.state().kind, State::Kind::compare);
  b.states.clear();
  b.coordinator->confirm();
  // The other side had confirmed already: straight through to success.
  EXPECT_EQ(b.state(), State::success("A"));
  EXPECT_EQ(b.states.size(), 2u);
  EXPECT_EQ(b.states.front().kind, State::Kind::waitingForPeer);
  ASSERT_EQ(b.paired.size(), 1u);
  EXPECT_EQ(b.paired[0].second, std::optional<std::string>("127.0.0.1"));
  ASSERT_TRUE(runUntil([&] { return a.state().kind == State::Kind::success; }));

  // The run's time-out finds success and leaves it.
  runFor(1600ms);
  EXPECT_EQ(b.state(), State::success("A"));
  EXPECT_TRUE(b.coordinator->port().has_value());
}

// --- giving up ---

TEST_F(PairingCoordinatorTest, CancelGoesBackToSearchingAndTheOtherSideIsTold) {
  Side a, b;
  make(a, "A");
  make(b, "B");
  reachCompare(a, b);

  // A call while comparing is closed unseen.
  const State comparing = a.state();
  auto intruder = ScriptedPeer::calling(
      *a.coordinator->port(), [](tcp::socket &socket) { EXPECT_TRUE(closedByPeer(socket)); });
  finish(intruder);
  EXPECT_EQ(a.state(), comparing);

  b.coordinator->cancel();
  EXPECT_EQ(b.state(), State::searching());
  ASSERT_TRUE(runUntil([&] { return a.state().kind == State::Kind::failed; }));
  EXPECT_EQ(a.state(), State::failed("The other Mac cancelled pairing."));
  a.coordinator->confirm(); // nothing to confirm any more
  runFor(50ms);
  EXPECT_TRUE(a.store->peers().empty());
  EXPECT_TRUE(b.store->peers().empty());
  EXPECT_TRUE(a.paired.empty() && b.paired.empty());

  // A failed run still listens: a new call may follow.
  b.coordinator->pairWith(loopback(*a.coordinator->port()), "A", std::nullopt);
  ASSERT_TRUE(runUntil([&] { return a.state().kind == State::Kind::compare; }));
  b.coordinator->stopPairing();
  EXPECT_EQ(b.state(), State::idle());
  ASSERT_TRUE(runUntil([&] { return a.state().kind == State::Kind::failed; }));
  EXPECT_EQ(a.state(), State::failed("The other Mac cancelled pairing."));
}

TEST_F(PairingCoordinatorTest, ConfirmationWithoutOkCountsAsCancelled) {
  Side a;
  make(a, "A");
  startAndWaitForPort(a);
  auto peer = ScriptedPeer::calling(*a.coordinator->port(), [](tcp::socket &socket) {
    PairingProtocol::Reveal mine{DeviceIdentity::generate().publicKey(), randomBytes(32), "P"};
    writeFrame(socket, PairingProtocol::commitFrame(
                           PairingProtocol::commitDigest(mine.publicKey, mine.nonce, mine.name)));
    ASSERT_TRUE(readFrame(socket));
    writeFrame(socket, PairingProtocol::revealFrame(mine));
    Frame noOk;
    noOk.kind = Frame::Kind::pairConfirm;
    writeFrame(socket, noOk);
    EXPECT_TRUE(closedByPeer(socket));
  });
  ASSERT_TRUE(runUntil([&] { return a.state().kind == State::Kind::failed; }));
  EXPECT_EQ(a.state(), State::failed(PairingProtocol::cancelledText));
  // The code was shown on the way.
  EXPECT_TRUE(std::any_of(a.states.begin(), a.states.end(),
                          [](const State &s) { return s.kind == State::Kind::compare; }));
  EXPECT_TRUE(a.store->peers().empty());
  finish(peer);
}

// --- what the other side sends ---

TEST_F(PairingCoordinatorTest, ResponderRefusesBadCommitsAndMismatchedReveals) {
  Side a;
  make(a, "A");
  startAndWaitForPort(a);
  const std::uint16_t port = *a.coordinator->port();

  // A commit of the wrong length is nothing valid: closed unseen, the run goes on.
  auto shortCommit = ScriptedPeer::calling(port, [](tcp::socket &socket) {
    writeFrame(socket, PairingProtocol::commitFrame(Bytes(31, 1)));
    EXPECT_TRUE(closedByPeer(socket));
  });
  finish(shortCommit);
  EXPECT_EQ(a.state(), State::searching());

  // The caller renamed itself between commit and reveal.
  auto renamed = ScriptedPeer::calling(port, [](tcp::socket &socket) {
    PairingProtocol::Reveal mine{DeviceIdentity::generate().publicKey(), randomBytes(32), "Old"};
    writeFrame(socket, PairingProtocol::commitFrame(
                           PairingProtocol::commitDigest(mine.publicKey, mine.nonce, mine.name)));
    ASSERT_TRUE(readFrame(socket));
    mine.name = "New";
    writeFrame(socket, PairingProtocol::revealFrame(mine));
    EXPECT_TRUE(closedByPeer(socket));
  });
  a.states.clear();
  ASSERT_TRUE(runUntil([&] { return a.state().kind == State::Kind::failed; }));
  EXPECT_EQ(a.state(), State::failed(PairingProtocol::unverifiedText));
  EXPECT_EQ(a.states.front(), State::connecting("another Mac"));
  EXPECT_TRUE(a.store->peers().empty());
  finish(renamed);
}

TEST_F(PairingCoordinatorTest, InitiatorRefusesItsOwnKeyEchoedBack) {
  Side a;
  make(a, "A");
  startAndWaitForPort(a);
  const Bytes ownKey = a.identity.publicKey();
  auto mirror = ScriptedPeer::answering([ownKey](tcp::socket &socket) {
    ASSERT_TRUE(readFrame(socket));
    writeFrame(socket, PairingProtocol::revealFrame({ownKey, randomBytes(32), "Mirror"}));
    EXPECT_TRUE(closedByPeer(socket));
  });
  a.coordinator->pairWith(loopback(mirror->port()), "Mirror", "127.0.0.1");
  ASSERT_TRUE(runUntil([&] { return a.state().kind == State::Kind::failed; }));
  EXPECT_EQ(a.state(), State::failed(PairingProtocol::unexpectedText));
  finish(mirror);
}

// --- limits ---

// A caller's script: a valid commit of a machine nobody knows.
void sendSomeCommit(tcp::socket &socket) {
  PairingProtocol::Reveal mine{DeviceIdentity::generate().publicKey(), randomBytes(32), "P"};
  writeFrame(socket, PairingProtocol::commitFrame(
                         PairingProtocol::commitDigest(mine.publicKey, mine.nonce, mine.name)));
}

TEST_F(PairingCoordinatorTest, SixthAttemptAtTheCodeEndsTheRunAndStartingAgainResetsTheCount) {
  Side a;
  make(a, "A");
  startAndWaitForPort(a);
  const std::uint16_t port = *a.coordinator->port();

  // An outgoing call that reaches nobody is no attempt at the code.
  std::uint16_t closedPort;
  {
    asio::io_context io;
    tcp::acceptor probe(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    closedPort = probe.local_endpoint().port();
  }
  a.coordinator->pairWith(loopback(closedPort), "Nobody", std::nullopt);
  ASSERT_TRUE(runUntil([&] { return a.state().kind == State::Kind::failed; }));
  EXPECT_EQ(a.state(),
            State::failed("Could not reach Nobody. Make sure its pairing window is open."));

  // One outgoing call that reaches a machine, which takes our commit and hangs up…
  auto quitter =
      ScriptedPeer::answering([](tcp::socket &socket) { EXPECT_TRUE(readFrame(socket)); });
  a.coordinator->pairWith(loopback(quitter->port()), "Quitter", std::nullopt);
  ASSERT_TRUE(runUntil([&] { return a.state().kind == State::Kind::failed; }));
  EXPECT_EQ(a.state(), State::failed(PairingProtocol::unexpectedText));
  finish(quitter);

  // … and four callers that send a valid commit and hang up: five attempts in all.
  for (int call = 0; call < 4; ++call) {
    a.states.clear();
    auto caller = ScriptedPeer::calling(port, sendSomeCommit);
    ASSERT_TRUE(runUntil([&] {
      return a.states.size() >= 2 && a.state().kind == State::Kind::failed;
    })) << call;
    EXPECT_EQ(a.state(), State::failed(PairingProtocol::unverifiedText));
    finish(caller);
  }

  // The sixth commit ends the run before anything is revealed to it.
  auto sixth = ScriptedPeer::calling(port, [](tcp::socket &socket) {
    sendSomeCommit(socket);
    EXPECT_TRUE(closedByPeer(socket));
  });
  ASSERT_TRUE(
      runUntil([&] { return a.state().message == PairingCoordinator::tooManyAttemptsText; }));
  finish(sixth);
  EXPECT_FALSE(a.coordinator->port());
  a.coordinator->pairWith(loopback(port), "A", std::nullopt);
  EXPECT_EQ(a.state(), State::failed(PairingCoordinator::tooManyAttemptsText));

  a.coordinator->startPairing();
  EXPECT_EQ(a.state(), State::searching());
  a.coordinator->pairWith(loopback(closedPort), "Nobody", std::nullopt);
  EXPECT_EQ(a.state(), State::connecting("Nobody"));
}

TEST_F(PairingCoordinatorTest, BareCallersNeitherEndTheRunNorUseUpAttempts) {
  Side a, b;
  PairingCoordinator::Options options;
  // Short for the test, yet far above a real machine's exchange on loopback.
  options.callerDeadline = 2.0;
  make(a, "A", options);
  make(b, "B");
  startAndWaitForPort(a);
  startAndWaitForPort(b);
  const std::uint16_t port = *a.coordinator->port();

  // More callers than the run has attempts connect and close at once.
  std::vector<std::unique_ptr<ScriptedPeer>> bare;
  for (int call = 0; call < PairingCoordinator::attemptLimit + 1; ++call)
    bare.push_back(ScriptedPeer::calling(port, [](tcp::socket &socket) { socket.close(); }));
  for (auto &caller : bare)
    finish(caller);

  // One that stops after its commit is an attempt that fails…
  auto halfway = ScriptedPeer::calling(port, [](tcp::socket &socket) {
    sendSomeCommit(socket);
    EXPECT_TRUE(readFrame(socket));
    EXPECT_TRUE(closedByPeer(socket));
  });
  ASSERT_TRUE(runUntil([&] { return a.state().kind == State::Kind::failed; }));
  EXPECT_EQ(a.state(), State::failed(PairingProtocol::unverifiedText));
  finish(halfway);

  // … and a real machine still pairs.
  b.coordinator->pairWith(loopback(port), "A", std::nullopt);
  ASSERT_TRUE(runUntil([&] {
    return a.state().kind == State::Kind::compare && b.state().kind == State::Kind::compare;
  }));
  confirmBoth(a, b);
  // The bare callers never showed: the only failure the user saw is the attempt's.
  EXPECT_EQ(std::count_if(a.states.begin(), a.states.end(),
                          [](const State &s) { return s.kind == State::Kind::failed; }),
            1);
}

TEST_F(PairingCoordinatorTest, GenuineCallerIsServedBesideAStalledOne) {
  Side a, b;
  make(a, "A");
  make(b, "B");
  startAndWaitForPort(a);
  startAndWaitForPort(b);
  const std::uint16_t port = *a.coordinator->port();

  // A frame header, then silence until the responder gives up on it.
  std::atomic<bool> headerSent{false};
  auto stalled = ScriptedPeer::calling(port, [&headerSent](tcp::socket &socket) {
    const std::uint8_t header[] = {0, 0, 0, 100};
    asio::write(socket, asio::buffer(header));
    headerSent = true;
    EXPECT_TRUE(closedByPeer(socket));
  });
  ASSERT_TRUE(runUntil([&] { return headerSent.load(); }));

  b.coordinator->pairWith(loopback(port), "A", std::nullopt);
  ASSERT_TRUE(runUntil([&] {
    return a.state().kind == State::Kind::compare && b.state().kind == State::Kind::compare;
  }));
  confirmBoth(a, b);
  finish(stalled);
}

// A caller that connects, waits silently until `go` and then pairs as "Genuine".
struct GenuineCaller {
  GenuineCaller(std::uint16_t port, const char *from)
      : peer(ScriptedPeer::calling(
            port,
            [this](tcp::socket &socket) {
              connected = true;
              while (!go) {
                if (closedAlready(socket))
                  return;
                std::this_thread::sleep_for(2ms);
              }
              PairingProtocol::Reveal mine{DeviceIdentity::generate().publicKey(), randomBytes(32),
                                           "Genuine"};
              writeFrame(socket, PairingProtocol::commitFrame(PairingProtocol::commitDigest(
                                     mine.publicKey, mine.nonce, mine.name)));
              if (!readFrame(socket))
                return;
              revealed = true;
              writeFrame(socket, PairingProtocol::revealFrame(mine));
              readFrame(socket);
            },
            from)) {}
  std::atomic<bool> connected{false}, go{false}, revealed{false};
  std::unique_ptr<ScriptedPeer> peer;
};

TEST_F(PairingCoordinatorTest, AFloodFromFewAddressesCannotCrowdOutACallerFromAnother) {
  Side a;
  PairingCoordinator::Options options;
  // No waiting caller is let go for its silence while the test runs.
  options.callerDeadline = 100.0;
  make(a, "A", options);
  startAndWaitForPort(a);
  const std::uint16_t port = *a.coordinator->port();

  // The genuine caller connects first and sends its commit only once the flood has passed.
  GenuineCaller genuine(port, "127.0.0.3");
  ASSERT_TRUE(runUntil([&] { return genuine.connected.load(); }));

  // Callers that send nothing, each arrival past a limit closing one waiting caller.
  std::atomic<std::size_t> floodClosed{0};
  std::vector<std::unique_ptr<ScriptedPeer>> flood;
  const std::size_t perFlooder = PairingCoordinator::callersPerAddress + 2;
  auto floodFrom = [&](const char *from) {
    for (std::size_t call = 0; call < perFlooder; ++call)
      flood.push_back(ScriptedPeer::calling(
          port, [&](tcp::socket &socket) { floodClosed += closedByPeer(socket) ? 1 : 0; }, from));
  };
  // One address alone keeps no more than its share waiting…
  floodFrom("127.0.0.10");
  ASSERT_TRUE(runUntil([&] { return floodClosed >= 2 || genuine.peer->done(); }));
  EXPECT_EQ(floodClosed, 2u);
  // … and several together no more than the limit in all.
  for (const char *from : {"127.0.0.11", "127.0.0.12", "127.0.0.13", "127.0.0.14"})
    floodFrom(from);
  const std::size_t evicted = 5 * perFlooder + 1 - PairingCoordinator::callerLimit;
  ASSERT_TRUE(runUntil([&] { return floodClosed >= evicted || genuine.peer->done(); }));

  genuine.go = true;
  ASSERT_TRUE(
      runUntil([&] { return a.state().kind == State::Kind::compare || genuine.peer->done(); }));
  EXPECT_TRUE(genuine.revealed) << "the genuine caller was closed";
  EXPECT_EQ(a.state().kind, State::Kind::compare);
  EXPECT_EQ(a.state().name, "Genuine");
  EXPECT_EQ(floodClosed, evicted);
  a.coordinator->cancel();
  finish(genuine.peer);
}

// Every machine on a link shares fe80::/64, and the machines of a network their SLAAC /64.
TEST_F(PairingCoordinatorTest, ACallerIsNotCountedWithTheOtherAddressesOfItsIPv6Prefix) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root for a network namespace of its own";
  std::vector<std::string> addresses{"fd00::1", "fd00::2", "fd01::1"};
  for (std::size_t host = 0; host <= PairingCoordinator::callerLimit; ++host)
    addresses.push_back("fd00::1:" + std::to_string(host));
  OwnNetwork network(addresses);
  if (!network.ready())
    GTEST_SKIP() << "no network namespace with its IPv6 addresses (unshare, ip)";
  Side a;
  PairingCoordinator::Options options;
  options.callerDeadline = 100.0;
  make(a, "A", options);
  startAndWaitForPort(a);
  const std::uint16_t port = *a.coordinator->port();

  GenuineCaller genuine(port, "fd00::1");
  ASSERT_TRUE(runUntil([&] { return genuine.connected.load(); }));

  // A neighbour opening more calls than its share closes only its own.
  std::atomic<std::size_t> floodClosed{0};
  std::vector<std::unique_ptr<ScriptedPeer>> flood;
  for (std::size_t call = 0; call < PairingCoordinator::callersPerAddress + 2; ++call)
    flood.push_back(ScriptedPeer::calling(
        port, [&](tcp::socket &socket) { floodClosed += closedByPeer(socket) ? 1 : 0; },
        "fd00::2"));
  ASSERT_TRUE(runUntil([&] { return floodClosed >= 2 || genuine.peer->done(); }));

  genuine.go = true;
  ASSERT_TRUE(
      runUntil([&] { return a.state().kind == State::Kind::compare || genuine.peer->done(); }));
  EXPECT_TRUE(genuine.revealed) << "the genuine caller was closed";
  EXPECT_EQ(a.state().name, "Genuine");
  EXPECT_EQ(floodClosed, 2u);
  a.coordinator->cancel();
  finish(genuine.peer);

  // A machine calling once from each of many addresses of its /64 crowds out only its own.
  startAndWaitForPort(a);
  for (auto &caller : flood)
    finish(caller);
  flood.clear();
  floodClosed = 0;
  GenuineCaller other(*a.coordinator->port(), "fd01::1");
  ASSERT_TRUE(runUntil([&] { return other.connected.load(); }));
  for (std::size_t host = 0; host <= PairingCoordinator::callerLimit; ++host)
    flood.push_back(ScriptedPeer::calling(
        *a.coordinator->port(),
        [&](tcp::socket &socket) { floodClosed += closedByPeer(socket) ? 1 : 0; },
        addresses[3 + host].c_str()));
  ASSERT_TRUE(runUntil([&] { return floodClosed >= 2 || other.peer->done(); }));
  other.go = true;
  ASSERT_TRUE(
      runUntil([&] { return a.state().kind == State::Kind::compare || other.peer->done(); }));
  EXPECT_TRUE(other.revealed) << "the caller from another /64 was closed";
  a.coordinator->cancel();
  finish(other.peer);
}

// Zones and mapped addresses do not reach loopback, so they are checked where callers are told
// apart.
TEST_F(PairingCoordinatorTest, OneHostsManyIPv6AddressesWeighAsOneNetwork) {
  const auto source = [](const char *text) {
    return PairingCoordinator::callerSource(*Endpoint::Host::parseAddress(text));
  };
  const auto network = [](const char *text) {
    return PairingCoordinator::callerNetwork(*Endpoint::Host::parseAddress(text));
  };
  EXPECT_NE(source("fd00:1:2:3:a::1"), source("fd00:1:2:3:ffff:1:2:3"));
  EXPECT_EQ(network("fd00:1:2:3:a::1"), network("fd00:1:2:3:ffff:1:2:3"));
  EXPECT_NE(network("fd00:1:2:3::1"), network("fd00:1:2:4::1"));
  EXPECT_NE(network("fe80::1%1"), network("fe80::1%2")) << "one prefix on two links";
  EXPECT_EQ(source("::ffff:192.168.1.2"), "192.168.1.2");
  EXPECT_EQ(network("::ffff:192.168.1.2"), "192.168.1.2");
}

TEST_F(PairingCoordinatorTest, RunTimesOut) {
  Side a;
  PairingCoordinator::Options options;
  options.expiryDelay = 0.2;
  make(a, "A", options);
  startAndWaitForPort(a);
  ASSERT_TRUE(runUntil([&] { return a.state().kind == State::Kind::failed; }));
  EXPECT_EQ(a.state(), State::failed("Pairing timed out. Start again when both Macs are ready."));
  EXPECT_FALSE(a.coordinator->port());
  EXPECT_TRUE(a.coordinator->candidates().empty());
}

TEST_F(PairingCoordinatorTest, CallsFromOutsideTheLocalNetworkAreRefusedAndNotCounted) {
  Side a;
  PairingCoordinator::Options options;
  options.isLocalCaller = [](const Endpoint::Host &) { return false; };
  make(a, "A", options);
  startAndWaitForPort(a);
  testing::internal::CaptureStderr();
  for (int call = 0; call < PairingCoordinator::attemptLimit + 1; ++call) {
    auto caller = ScriptedPeer::calling(
        *a.coordinator->port(), [](tcp::socket &socket) { EXPECT_TRUE(closedByPeer(socket)); });
    finish(caller);
  }
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Refused a pairing call from outside the local network"), std::string::npos);
  EXPECT_EQ(a.state(), State::searching());
  EXPECT_TRUE(a.coordinator->port().has_value());
}

TEST_F(PairingCoordinatorTest, NothingHappensOutsideARun) {
  Side a;
  make(a, "A");
  a.coordinator->pairWith(loopback(9), "X", std::nullopt);
  a.coordinator->confirm();
  EXPECT_EQ(a.state(), State::idle());
  a.coordinator->cancel();
  EXPECT_EQ(a.state(), State::idle());
}

TEST_F(PairingCoordinatorTest, TakenPortsAreRetriedThenTheNextCandidatesThenAnyPort) {
  asio::io_context io;
  std::vector<tcp::acceptor> held;
  tcp::acceptor first(io, tcp::endpoint(tcp::v6(), 0));
  const std::uint16_t preferred = first.local_endpoint().port();
  if (preferred > 65535 - 20)
    GTEST_SKIP() << "port too high for the candidates";
  held.push_back(std::move(first));
  for (int step : {10, 20}) {
    std::error_code error;
    tcp::acceptor next(io);
    next.open(tcp::v6(), error);
    next.bind(tcp::endpoint(tcp::v6(), static_cast<std::uint16_t>(preferred + step)), error);
    if (!error)
      next.listen(asio::socket_base::max_listen_connections, error);
    if (error)
      GTEST_SKIP() << "candidate port in use elsewhere";
    held.push_back(std::move(next));
  }

  Side a;
  PairingCoordinator::Options options;
  options.preferredPort = preferred;
  options.busyRetryDelay = 0.01;
  make(a, "A", options);
  startAndWaitForPort(a);
  const auto port = *a.coordinator->port();
  EXPECT_NE(port, preferred);
  EXPECT_NE(port, preferred + 10);
  EXPECT_NE(port, preferred + 20);
  EXPECT_EQ(a.state(), State::searching());
}

} // namespace
} // namespace corvane
