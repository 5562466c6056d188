#include "FuzzInput.h"
#include "brimvale/catalogue/ConnectionStrings.h"
#include "brimvale/foundation/DisplayText.h"
#include "brimvale/integrations/LinkScheme.h"
#include "brimvale/platform/Unicode.h"

#include <string>

namespace {

// The link that asks for `request`, its name percent-encoded.
std::string linkFor(const corvane::LinkRequest &request) {
  using Kind = corvane::LinkRequest::Kind;
  const std::string name = corvane::percentEncoded(request.name).value_or("");
  switch (request.kind) {
  case Kind::showPanel: return "corvane://show";
  case Kind::pauseAll: return "corvane://pause-all";
  case Kind::copy: return "corvane://copy/" + name;
  case Kind::open: return "corvane://open/" + name;
  case Kind::pauseEnvironment: return "corvane://environment/" + name + "/pause";
  }
  return {};
}

} // namespace

// A link handed over by the desktop: what it asks for names 1 to 129 visible characters of
// valid UTF-8, and written out again it asks for the same.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace corvane;
  const auto request = parseLink(fuzz::text(data, size));
  if (!request)
    return 0;
  using Kind = LinkRequest::Kind;
  if (request->kind == Kind::showPanel || request->kind == Kind::pauseAll) {
    FUZZ_CHECK(request->name.empty());
  } else {
    const std::string &name = request->name;
    FUZZ_CHECK(!name.empty() && validUTF8(name) == name);
    FUZZ_CHECK(characterCount(name) <= maxLinkPieceCharacters);
    FUZZ_CHECK(name.front() != ' ' && name.front() != '\t' && name.back() != ' ' &&
               name.back() != '\t');
    for (char32_t scalar : unicodeScalars(name))
      FUZZ_CHECK(!isRemovedByDisplayTextCleaner(scalar));
  }
  const auto again = parseLink(linkFor(*request));
  FUZZ_CHECK(again && *again == *request);
  return 0;
}
