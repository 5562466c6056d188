#include "FuzzInput.h"
#include "brimvale/integrations/IntentEntities.h"
#include "brimvale/integrations/LinkScheme.h"
#include "brimvale/integrations/PortResolution.h"
#include "brimvale/platform/Unicode.h"

#include <string>
#include <string_view>
#include <vector>

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  for (std::size_t start = 0;;) {
    const auto at = text.find(separator, start);
    pieces.push_back(text.substr(start, at - start));
    if (at == std::string_view::npos)
      return pieces;
    start = at + 1;
  }
}

} // namespace

// What people type to name a port, "name[@Mac]", and to search the ports. The first line is
// the typed text; each further line a row of name, Mac, version and environment separated by
// tabs (the paired list names each row's Mac once more, as it was paired). A name found is
// the one row it names; a search finds the rows holding every word, in their order.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace corvane;
  const auto lines = split(fuzz::text(data, size), '\n');
  const std::string_view typed = lines.front();
  std::vector<IncomingService> incoming;
  std::vector<PairedPeer> paired;
  for (std::size_t index = 1; index < lines.size() && index <= 16; ++index) {
    const auto fields = split(lines[index], '\t');
    IncomingService row;
    row.key = {"PEER" + std::to_string(index % 3), "S" + std::to_string(index)};
    row.name = std::string(fields[0]);
    row.peerName = fields.size() > 1 ? std::string(fields[1]) : "Studio";
    if (fields.size() > 2)
      row.version = std::string(fields[2]);
    if (fields.size() > 3)
      row.environment = std::string(fields[3]);
    if (fields.size() > 4)
      paired.push_back({row.key.peerID, std::string(fields[4]), {}, 0});
    row.state = IncomingService::State::connected();
    row.localPort = 40000 + static_cast<int>(index);
    incoming.push_back(std::move(row));
  }

  if (const auto found = findPortByName(typed, incoming, paired)) {
    const IncomingService *row = findIncoming(incoming, portIdentifier(found->key));
    FUZZ_CHECK(row && *row == *found);
    FUZZ_CHECK(usablePort(incoming, portIdentifier(found->key)).has_value());
  } else {
    // The failure names the typed text cleaned and cut to a link piece's characters (a
    // replaced byte may take three, a character at most four).
    FUZZ_CHECK(found.error().first().size() <= 4 * maxLinkPieceCharacters);
  }

  const auto matching = searchPorts(typed, incoming);
  // The matches are a subsequence of the rows, each holding every word.
  std::size_t next = 0;
  for (const auto &match : matching) {
    while (next < incoming.size() && !(incoming[next] == match))
      ++next;
    FUZZ_CHECK(next < incoming.size());
    ++next;
    FUZZ_CHECK(holdsEveryWord(match.name + " " + match.peerName + " " + match.version.value_or("") +
                                  " " + match.environment.value_or(""),
                              typed));
  }
  FUZZ_CHECK(searchPorts("", incoming).size() == incoming.size());
  const auto entities = portEntities(matching);
  FUZZ_CHECK(entities.size() == matching.size());
  for (const auto &entity : entities)
    FUZZ_CHECK(entity.detail.rfind("localhost:", 0) == 0);

  std::vector<ShareEnvironment> environments;
  for (const auto &row : incoming)
    environments.push_back({row.key.serviceID, row.environment.value_or(row.name), {}});
  if (const auto id = findEnvironmentNamed(typed, environments))
    FUZZ_CHECK(!id->empty() && id->front() == 'S');
  else
    FUZZ_CHECK(characterCount(id.error().first()) <= 40);
  return 0;
}
