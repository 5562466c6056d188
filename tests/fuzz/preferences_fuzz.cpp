#include "FuzzInput.h"
#include "brimvale/foundation/Preferences.h"

// The stored settings record, current or legacy: what decodes (migrating the legacy layout)
// encodes and decodes to the same record, and the current layout decodes the same every time
// (migration gives shares without an identifier a new random one).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace corvane;
  const Bytes stored = fuzz::bytes(data, size);
  const auto preferences = Preferences::decodePreferences(stored);
  if (const auto document = parseJson(stored)) {
    if (Preferences::decodeCurrent(*document))
      FUZZ_CHECK(Preferences::decodePreferences(stored) == preferences);
    if (const auto legacy = LegacyPreferences::decode(*document)) {
      const Preferences migrated = Preferences::migrateLegacy(*legacy);
      if (const auto encoded = migrated.encode()) {
        const auto again = Preferences::decodePreferences(*encoded);
        FUZZ_CHECK(again && *again == migrated);
      }
    }
  }
  if (!preferences)
    return 0;
  const auto encoded = preferences->encode();
  if (!encoded)
    return 0;
  const auto again = Preferences::decodePreferences(*encoded);
  FUZZ_CHECK(again && *again == *preferences);
  return 0;
}
