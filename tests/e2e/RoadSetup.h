#pragma once

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/MemorySecretStore.h"
#include "brimvale/platform/RegistryDnsSd.h"
#include "tests/e2e/LoopbackMachines.h"

#include <memory>
#include <string>

namespace corvane::testing {

// The set-up of one of several real managers in one process: its own secrets, settings and
// identity, found by the others through the in-process DNS-SD `registry`, on ports the system
// picks (they all share this machine's loopback), with short retry delays so that the tests
// of the whole road run quickly, and no notes, control or sleep watching.
inline ServiceManager::Setup roadSetup(std::shared_ptr<MainQueue> queue,
                                       const std::shared_ptr<DnsSdRegistry> &registry,
                                       const std::string &name) {
  ServiceManager::Setup setup;
  setup.mainQueue = std::move(queue);
  setup.store = std::make_shared<MemorySecretStore>();
  setup.defaults = std::shared_ptr<UserDefaults>(UserDefaults::inMemory());
  setup.controlDefaults = std::shared_ptr<UserDefaults>(UserDefaults::inMemory());
  setup.dnsSd = RegistryDnsSd::create(registry);
  setup.wifi = nullptr;
  setup.hostName = name;
  setup.gatewayPort = std::nullopt;
  setup.pairingPort = std::nullopt;
  e2e::quickenRetries(setup.gateway, setup.link, setup.proxy);
  setup.discoveryRestartDelay = 0.2;
  setup.effects.reloadControls = [] {};
  setup.effects.observeControlRequests = [](auto) { return std::shared_ptr<void>(); };
  setup.effects.postNote = [](const NotificationRules::Note &) {};
  setup.effects.watchSleep = [](auto, auto) { return std::shared_ptr<void>(); };
  return setup;
}

} // namespace corvane::testing
