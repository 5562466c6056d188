#pragma once

// What the loopback tests of whole machines share: the main queue they live on, quick retries
// and pairing two coordinators the way two users would.
#include "brimvale/network/Gateway.h"
#include "brimvale/network/PairingCoordinator.h"
#include "brimvale/network/PeerLink.h"
#include "brimvale/network/ProxyManager.h"
#include "tests/support/MainThread.h"

#include <chrono>
#include <gtest/gtest.h>
#include <string>

namespace corvane::e2e {

// Seconds to wait for what should happen promptly; generous for a loaded machine.
inline constexpr double wait = std::chrono::duration<double>(testing::eventually).count();

// Retries and reconnections come quickly, so that a test need not wait out the real delays.
// Handshakes keep a bound a loaded machine meets.
inline void quickenRetries(Gateway::Options &gateway, PeerLink::Options &link,
                           ProxyManager::Options &proxy) {
  gateway.helloDeadline = 3;
  gateway.failureRetryDelay = 0.2;
  link.reconnectStep = 0.2;
  link.reconnectCap = 0.5;
  link.handshakeTimeout = 10;
  proxy.handshakeTimeout = 10;
  proxy.listenRetryBase = 0.1;
  proxy.listenRetryCap = 0.2;
}

// Pairs two coordinators on the main queue: B calls A at 127.0.0.1 on A's pairing port, both
// users see the same six-digit code and confirm. The caller waits for the stores.
inline void pairOverLoopback(testing::MainThread &main, PairingCoordinator &a,
                             PairingCoordinator &b, const std::string &nameOfA) {
  main.sync([&] {
    a.startPairing();
    b.startPairing();
  });
  ASSERT_TRUE(main.waitUntil([&] { return a.port().has_value(); })) << "A never listened";
  main.sync([&] {
    b.pairWith(Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), *a.port()), nameOfA, "127.0.0.1");
  });
  using Kind = PairingCoordinator::State::Kind;
  const bool compared = main.waitUntil([&] {
    return a.state().kind == Kind::compare && b.state().kind == Kind::compare;
  });
  if (!compared) {
    const auto said = [&](const PairingCoordinator &side) {
      return main.sync([&] {
        const auto state = side.state();
        return std::to_string(static_cast<int>(state.kind)) + " \"" + state.message + "\"";
      });
    };
    FAIL() << "the two never came to compare codes; A in state " << said(a) << ", B in state "
           << said(b);
  }
  main.sync([&] {
    EXPECT_EQ(a.state().code.size(), 6u);
    EXPECT_EQ(a.state().code, b.state().code);
    a.confirm();
    b.confirm();
  });
}

} // namespace corvane::e2e
