#include "FuzzInput.h"
#include "brimvale/integrations/UpdateChecker.h"
#include "brimvale/platform/Json.h"

#include <string>

// The update server's answer: a release that decodes encodes and decodes to the same, and is
// offered only when it is newer and lives on the update server's host over https.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace corvane;
  const auto release = AppRelease::decode(fuzz::text(data, size));
  if (!release)
    return 0;
  const Json object = {
      {"version", release->version}, {"build", release->build}, {"url", release->url}};
  const auto again = AppRelease::decode(dumpJson(object));
  FUZZ_CHECK(again && *again == *release);

  const std::string address = "https://updates.corvane.app/latest.json";
  for (const std::int64_t running : {std::int64_t{100}, release->build}) {
    if (!UpdateChecker::isOffered(*release, running, address))
      continue;
    FUZZ_CHECK(release->build > running);
    FUZZ_CHECK(release->url.rfind("https:", 0) == 0);
  }
  FUZZ_CHECK(UpdateChecker::isOffered(*release, 100, address) ==
             UpdateChecker::isOffered(*release, 100, address));
  return 0;
}
