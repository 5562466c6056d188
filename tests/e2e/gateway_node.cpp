// One machine's engine in a process of its own, so that its resident memory can be read apart
// from whoever floods it. It trusts one machine given on the command line, shares an echo
// server with it, and prints one line once its gateway listens:
//
//   gateway_node <peer id> <peer public key, Base64>
//   → "ready <gateway port> <own id> <own public key, Base64> <service id>"
//
// It runs until its standard input closes.
#include "brimvale/platform/Crypto.h"
#include "brimvale/platform/MemorySecretStore.h"
#include "brimvale/platform/ProcessLimits.h"
#include "brimvale/platform/RegistryDnsSd.h"
#include "tests/e2e/Engine.h"
#include "tests/e2e/Sockets.h"

#include <iostream>
#include <string>

using namespace corvane;
using namespace corvane::e2e;

namespace {

constexpr const char *serviceID = "5E1D0C6A-0000-4000-8000-0000000000F1";
constexpr double readyWait = 60.0;

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::cerr << "usage: gateway_node <peer id> <peer public key>\n";
    return 2;
  }
  auto peerKey = base64Decode(argv[2]);
  if (!peerKey) {
    std::cerr << "the peer's public key is not Base64\n";
    return 2;
  }
  // As the application does at start.
  raiseDescriptorLimit();

  EchoServer echo;
  Engine::Options options;
  options.name = "Flooded";
  options.dnsSd = RegistryDnsSd::create(DnsSdRegistry::create());
  options.secrets = std::make_shared<MemorySecretStore>();
  auto engine = Engine::create(std::move(options));
  engine->pairDirectly(argv[1], "Peer", *peerKey);
  engine->start();

  SharedServiceInfo service;
  service.id = serviceID;
  service.name = "Echo";
  service.port = echo.port();
  service.running = true;
  service.category = "Tool";
  engine->share({service});

  if (!echo.listening() ||
      !engine->waitUntil([](const auto &seen) { return seen.gatewayPort.has_value(); },
                         readyWait)) {
    std::cout << "failed" << std::endl;
    return 1;
  }
  std::cout << "ready " << *engine->snapshot().gatewayPort << " " << engine->deviceID() << " "
            << base64Encode(engine->identity().publicKey()) << " " << serviceID << std::endl;

  std::string line;
  while (std::getline(std::cin, line)) {
  }
  engine->stop();
  return 0;
}
