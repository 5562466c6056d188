#include "FuzzInput.h"
#include "brimvale/catalogue/ServiceVersion.h"
#include "brimvale/platform/Unicode.h"

#include <optional>
#include <string>

namespace {

using Reader = std::optional<std::string> (*)(const corvane::Bytes &);

std::optional<std::string> readElasticsearch(const corvane::Bytes &reply) {
  return corvane::ServiceVersion::readJSONVersion(reply, "number", "Elasticsearch", true);
}

std::optional<std::string> readConsul(const corvane::Bytes &reply) {
  return corvane::ServiceVersion::readJSONVersion(reply, "Version", "Consul", false);
}

} // namespace

// A reply of a local service to a version probe; the first byte picks the reader. Whatever a
// reader makes of it is a short line of valid UTF-8 without control characters, the same
// every time it is asked.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace corvane;
  namespace V = ServiceVersion;
  static constexpr Reader readers[] = {
      V::readPostgresVersion, V::readRedisVersion,     V::readMySQLVersion, V::readAMQPVersion,
      V::readMongoVersion,    V::readMemcachedVersion, V::readNATSVersion,  V::readSQLServerVersion,
      V::readHTTPServer,      V::readBanner,           readElasticsearch,   readConsul};
  if (size == 0)
    return 0;
  const Reader reader = readers[data[0] % std::size(readers)];
  const Bytes reply = fuzz::bytes(data + 1, size - 1);
  const auto version = reader(reply);
  FUZZ_CHECK(reader(reply) == version);
  if (version) {
    FUZZ_CHECK(!version->empty() && validUTF8(*version) == *version);
    FUZZ_CHECK(version->size() <= V::maxReplyBytes + 64);
    for (char32_t scalar : unicodeScalars(*version))
      FUZZ_CHECK(!isControlCharacter(scalar));
  }
  // The shared text rules on the raw reply: a short version's first piece has at most four
  // characters, a product name at most 24.
  const std::string_view text = fuzz::text(data + 1, size - 1);
  if (const auto short_ = V::shortVersion(text)) {
    FUZZ_CHECK(!short_->empty());
    FUZZ_CHECK(characterCount(short_->substr(0, short_->find('.'))) <= 4);
  }
  if (const auto product = V::cleanProductName(text))
    FUZZ_CHECK(!product->empty() && characterCount(*product) <= 24);
  return 0;
}
