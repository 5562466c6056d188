#include "FuzzInput.h"
#include "brimvale/foundation/PairedPeerStore.h"

#include <cmath>

// The stored list of paired Macs: what decodes encodes and decodes to the same list.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace corvane;
  const auto peers = decodePairedPeers(fuzz::bytes(data, size));
  if (!peers)
    return 0;
  const auto encoded = encodePairedPeers(*peers);
  if (!encoded) {
    // Only a date that is not finite may refuse to be stored.
    bool finite = true;
    for (const auto &peer : *peers)
      finite = finite && std::isfinite(peer.pairedAt);
    FUZZ_CHECK(!finite);
    return 0;
  }
  const auto again = decodePairedPeers(*encoded);
  FUZZ_CHECK(again && *again == *peers);
  return 0;
}
