#pragma once

#include "brimvale/manager/ServiceManager.h"
#include "tests/e2e/LoopbackMachines.h"
#include "tests/e2e/RoadSetup.h"
#include "tests/support/LoopbackPorts.h"

#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace corvane::e2e {

// Real service managers in one process, each with its own secrets, settings and identity,
// seeing each other through one in-process DNS-SD registry.
class ManagersOnLoopback : public ::testing::Test {
protected:
  void TearDown() override {
    main_.sync([&] {
      for (auto &manager : managers_)
        manager->shutdown();
      managers_.clear();
    });
  }

  std::shared_ptr<ServiceManager>
  makeManager(const std::string &name,
              const std::function<void(ServiceManager::Setup &)> &adjust = {}) {
    auto setup = testing::roadSetup(main_.sharedQueue(), registry_, name);
    if (adjust)
      adjust(setup);
    auto manager = main_.sync([&] { return ServiceManager::create(setup); });
    managers_.push_back(manager);
    return manager;
  }

  // Pairs the two with their real coordinators and waits until each stores the other.
  void pair(const std::shared_ptr<ServiceManager> &a, const std::shared_ptr<ServiceManager> &b) {
    const auto nameOfA = main_.sync([&] { return a->deviceName.get(); });
    pairOverLoopback(main_, *a->pairingCoordinator(), *b->pairingCoordinator(), nameOfA);
    if (::testing::Test::HasFatalFailure())
      return;
    ASSERT_TRUE(main_.waitUntil(
        [&] { return a->pairedPeers->size() == 1 && b->pairedPeers->size() == 1; }));
    main_.sync([&] {
      a->pairingCoordinator()->stopPairing();
      b->pairingCoordinator()->stopPairing();
    });
  }

  // A port for a server that A shares, whose route on B lands below the outgoing range. The
  // server holds the share's own port on this machine, so the route's scan starts the offset
  // above it, and the whole scan stays below.
  static std::uint16_t quietSharePort() {
    constexpr int high = testing::outgoingPortsStart - ServiceManager::portScanOffset -
                         ServiceManager::portCandidateLimit;
    return testing::pickPort(ServiceManager::firstUserPort, high, [](std::uint16_t port) {
      return testing::freeOnLoopback(port) && testing::freeOnLoopback(static_cast<std::uint16_t>(
                                                  port + ServiceManager::portScanOffset));
    });
  }

  testing::MainThread main_;
  std::shared_ptr<DnsSdRegistry> registry_ = DnsSdRegistry::create();
  std::vector<std::shared_ptr<ServiceManager>> managers_;
};

} // namespace corvane::e2e
