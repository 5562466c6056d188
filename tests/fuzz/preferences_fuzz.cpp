#include "FuzzInput.h"
#include "brimvale/foundation/Preferences.h"

// The stored settings record, current or legacy: what decodes (migrating the legacy layout)
// encodes and decodes to the same record, and a document that is not of the legacy layout reads
// the same every time, problems included (migration gives shares without an identifier a new
// random one).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace corvane;
  const Bytes stored = fuzz::bytes(data, size);
  const PreferencesReading reading = Preferences::readPreferences(stored);
  const auto &preferences = reading.preferences;
  if (const auto document = parseJson(stored)) {
    DecodeProblems legacyProblems;
    if (const auto legacy = LegacyPreferences::read(*document, legacyProblems); !legacy) {
      const PreferencesReading again = Preferences::readPreferences(stored);
      FUZZ_CHECK(again.preferences == preferences && again.problems == reading.problems);
    } else {
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
