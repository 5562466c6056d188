#include "brimvale/integrations/PortResolution.h"

#include "brimvale/catalogue/ConnectionStrings.h"
#include "brimvale/foundation/DisplayText.h"
#include "brimvale/platform/Unicode.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace corvane {

namespace {

constexpr int environmentNameLimit = 40;

// Typographic apostrophes count as the plain one, as people type either.
std::string normalisingApostrophes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t scalar : unicodeScalars(text))
    appendUTF8(out, scalar == U'\u2019' || scalar == U'\u2018' ? U'\'' : scalar);
  return out;
}

std::string_view trimmingSpacesAndTabs(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

// Case-folded text without its diacritics, for matching that ignores both.
std::string searchFolded(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2 *nfd = icu::Normalizer2::getNFDInstance(status);
  std::string decomposed;
  if (U_SUCCESS(status) && nfd) {
    const icu::UnicodeString source = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    const icu::UnicodeString normalised = nfd->normalize(source, status);
    if (U_SUCCESS(status))
      normalised.toUTF8String(decomposed);
  }
  if (decomposed.empty())
    decomposed = validUTF8(text);
  std::string bare;
  bare.reserve(decomposed.size());
  for (char32_t scalar : unicodeScalars(decomposed))
    if (generalCategory(scalar) != GeneralCategory::nonspacingMark)
      appendUTF8(bare, scalar);
  return foldingCase(bare);
}

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> found;
  std::string current;
  for (char32_t scalar : unicodeScalars(text)) {
    if (isWhitespaceOrNewline(scalar)) {
      if (!current.empty())
        found.push_back(std::move(current));
      current.clear();
    } else {
      appendUTF8(current, scalar);
    }
  }
  if (!current.empty())
    found.push_back(std::move(current));
  return found;
}

} // namespace

std::string portIdentifier(const RouteKey &key) {
  return key.peerID + "/" + key.serviceID;
}

const IncomingService *findIncoming(const std::vector<IncomingService> &incoming,
                                    std::string_view id) {
  for (const auto &row : incoming)
    if (portIdentifier(row.key) == id)
      return &row;
  return nullptr;
}

std::expected<IncomingService, IntentFailure>
findPortByName(std::string_view text, const std::vector<IncomingService> &incoming,
               const std::vector<PairedPeer> &paired) {
  const std::string trimmed(trimmingSpacesAndTabs(text));
  const std::string wanted = normalisingApostrophes(trimmed);
  const auto matches = [&](std::string_view candidate) {
    return equalsIgnoringCase(wanted, normalisingApostrophes(candidate));
  };
  const IncomingService *found = nullptr;
  int count = 0;
  for (const auto &row : incoming) {
    bool match = matches(row.name) || matches(row.name + "@" + row.peerName);
    if (!match) {
      for (const auto &peer : paired)
        if (peer.deviceID == row.key.peerID) {
          match = matches(row.name + "@" + peer.name);
          break;
        }
    }
    if (match) {
      ++count;
      if (!found)
        found = &row;
    }
  }
  if (count == 0)
    return std::unexpected(IntentFailure::noPortNamed(trimmed));
  if (count > 1)
    return std::unexpected(IntentFailure::ambiguousPort(trimmed));
  return *found;
}

std::expected<IncomingService, IntentFailure>
usablePort(const std::vector<IncomingService> &incoming, std::string_view id) {
  const IncomingService *row = findIncoming(incoming, id);
  if (!row)
    return std::unexpected(IntentFailure::unknownPort());
  using Case = IncomingService::State::Case;
  switch (row->state.which()) {
  case Case::connected:
    if (row->localPort)
      return *row;
    return std::unexpected(IntentFailure::failed(row->name, "No free port on this Mac"));
  case Case::asleep: return std::unexpected(IntentFailure::away(row->peerName));
  case Case::notRunning:
    return std::unexpected(IntentFailure::notRunning(row->name, row->peerName));
  case Case::off: return std::unexpected(IntentFailure::off(row->name));
  case Case::failed:
    return std::unexpected(IntentFailure::failed(row->name, row->state.sentence()));
  }
  return std::unexpected(IntentFailure::unknownPort());
}

std::string portAddress(const IncomingService &usable) {
  return "localhost:" + std::to_string(usable.localPort.value_or(0));
}

std::expected<std::string, IntentFailure>
connectionText(const std::vector<IncomingService> &incoming, std::string_view id) {
  const auto row = usablePort(incoming, id);
  if (!row)
    return std::unexpected(row.error());
  auto text = makeConnectionURL(row->name, row->localPort.value_or(0),
                                row->category.value_or(ExposedService::ServiceCategory::custom),
                                row->hints, row->remotePort);
  if (!text)
    return std::unexpected(IntentFailure::noConnectionString(row->name));
  return *text;
}

std::expected<std::string, IntentFailure> openableURL(const std::vector<IncomingService> &incoming,
                                                      std::string_view id, UrlOpener &opener) {
  const auto row = usablePort(incoming, id);
  if (!row)
    return std::unexpected(row.error());
  auto url = connectionURL(*row, opener);
  if (!url)
    return std::unexpected(IntentFailure::noApp(row->name));
  return *url;
}

std::expected<std::string, IntentFailure>
findEnvironmentNamed(std::string_view name, const std::vector<ShareEnvironment> &environments) {
  const std::string cleaned = cleanDisplayText(name, environmentNameLimit);
  for (const auto &environment : environments)
    if (equalsIgnoringCase(environment.name, cleaned))
      return environment.id;
  return std::unexpected(IntentFailure::unknownEnvironment(cleaned));
}

std::string shareStatusDialog(std::string_view name,
                              const std::optional<std::string> &sharingStatusSentence) {
  if (!sharingStatusSentence || sharingStatusSentence->empty())
    return std::string(name) + " is shared.";
  // Only the first character is lowered: the rest may hold names people chose.
  const auto characters = graphemeClusters(*sharingStatusSentence);
  std::string sentence = characters.empty() ? "" : characters.front();
  icu::UnicodeString first = icu::UnicodeString::fromUTF8(sentence);
  first.toLower(icu::Locale::getRoot());
  sentence.clear();
  first.toUTF8String(sentence);
  for (std::size_t i = 1; i < characters.size(); ++i)
    sentence += characters[i];
  return std::string(name) + " is on, but " + sentence;
}

std::vector<IncomingService> searchPorts(std::string_view text,
                                         const std::vector<IncomingService> &incoming) {
  std::vector<std::string> wanted;
  for (const auto &word : words(normalisingApostrophes(text)))
    wanted.push_back(searchFolded(word));
  std::vector<IncomingService> found;
  for (const auto &row : incoming) {
    const std::string haystack = searchFolded(
        normalisingApostrophes(row.name + " " + row.peerName + " " + row.version.value_or("") +
                               " " + row.environment.value_or("")));
    bool all = true;
    for (const auto &word : wanted)
      if (haystack.find(word) == std::string::npos) {
        all = false;
        break;
      }
    if (all)
      found.push_back(row);
  }
  return found;
}

bool holdsEveryWord(std::string_view haystack, std::string_view query) {
  const std::string folded = searchFolded(normalisingApostrophes(haystack));
  for (const auto &word : words(normalisingApostrophes(query)))
    if (folded.find(searchFolded(word)) == std::string::npos)
      return false;
  return true;
}

} // namespace corvane
