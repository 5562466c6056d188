#include "FuzzInput.h"
#include "brimvale/network/Addresses.h"

// A typed address: what is accepted is printable, names its port within range, and its stored
// text reads back as the same address.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace corvane;
  const auto parsed = ManualAddress::parseManualAddress(fuzz::text(data, size));
  if (!parsed)
    return 0;
  FUZZ_CHECK(!parsed->host.empty());
  for (unsigned char c : parsed->host)
    FUZZ_CHECK(c > 32 && c < 127);
  FUZZ_CHECK(!parsed->port || *parsed->port >= 1);
  const std::string stored = ManualAddress::displayText(parsed->host, parsed->port);
  const auto again = ManualAddress::parseManualAddress(stored);
  FUZZ_CHECK(again && *again == *parsed);
  const Endpoint endpoint = ManualAddress::endpoint(parsed->host, parsed->port, 46310);
  (void)endpoint;
  return 0;
}
