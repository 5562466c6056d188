#include "FuzzInput.h"
#include "brimvale/foundation/AccessLog.h"

#include <algorithm>

// The stored access log: encodes and decodes to the same log, decoding is a function of the
// bytes, and recording one more visit never grows it past its limit.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace corvane;
  AccessLog log = AccessLog::decode(fuzz::bytes(data, size));
  FUZZ_CHECK(AccessLog::decode(fuzz::bytes(data, size)) == log);
  const std::size_t stored = log.entries.size();
  const auto encoded = log.encode();
  if (encoded) {
    const AccessLog again = AccessLog::decode(*encoded);
    FUZZ_CHECK(again == log);
  }
  const bool first = log.record("0F0F", "Studio", "Postgres", 5432, 1e9);
  FUZZ_CHECK(!log.entries.empty() && log.entries.size() <= std::max(stored, AccessLog::maxEntries));
  FUZZ_CHECK(!first || log.seenPairs.count("0F0F/Postgres:5432") == 1);
  if (!log.entries.empty())
    log.forget(log.entries.front().peerID);
  return 0;
}
