#include "brimvale/integrations/LinkScheme.h"

#include "brimvale/foundation/DisplayText.h"
#include "brimvale/platform/Unicode.h"

#include <vector>

namespace corvane {

namespace {

bool isAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isHex(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
  if (isDigit(c))
    return c - '0';
  return (c | 0x20) - 'a' + 10;
}

// The characters a URL may hold as written (RFC 3986): unreserved, reserved and "%".
bool isURLCharacter(char c) {
  if (isAlpha(c) || isDigit(c))
    return true;
  switch (c) {
  case '-':
  case '.':
  case '_':
  case '~':
  case ':':
  case '/':
  case '?':
  case '#':
  case '[':
  case ']':
  case '@':
  case '!':
  case '$':
  case '&':
  case '\'':
  case '(':
  case ')':
  case '*':
  case '+':
  case ',':
  case ';':
  case '=':
  case '%': return true;
  default: return false;
  }
}

std::string lowercasedASCII(std::string_view text) {
  std::string out(text);
  for (auto &c : out)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return out;
}

struct Components {
  std::string scheme;
  std::string host; // percent-encoded, as written; empty when absent
  std::string_view path;
};

// Splits a URL into its generic parts without resolving it against anything. Absent when it
// holds a character a URL cannot hold, a stray "%", or an authority that is not well formed.
std::optional<Components> splitComponents(std::string_view url) {
  for (std::size_t i = 0; i < url.size(); ++i) {
    if (!isURLCharacter(url[i]))
      return std::nullopt;
    if (url[i] == '%' && (i + 2 >= url.size() || !isHex(url[i + 1]) || !isHex(url[i + 2])))
      return std::nullopt;
  }
  const auto colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0 || !isAlpha(url[0]))
    return std::nullopt;
  Components parts;
  for (char c : url.substr(0, colon))
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.')
      return std::nullopt;
  parts.scheme = lowercasedASCII(url.substr(0, colon));

  std::string_view rest = url.substr(colon + 1);
  rest = rest.substr(0, rest.find('#'));
  rest = rest.substr(0, rest.find('?'));
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    const auto slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    parts.path = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
    if (const auto at = authority.rfind('@'); at != std::string_view::npos)
      authority.remove_prefix(at + 1);
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with('[')) {
      const auto close = authority.find(']');
      if (close == std::string_view::npos)
        return std::nullopt;
      host = authority.substr(0, close + 1);
      std::string_view after = authority.substr(close + 1);
      if (!after.empty() && !after.starts_with(':'))
        return std::nullopt;
      port = after.empty() ? after : after.substr(1);
    } else if (const auto portColon = authority.find(':'); portColon != std::string_view::npos) {
      host = authority.substr(0, portColon);
      port = authority.substr(portColon + 1);
    }
    for (char c : port)
      if (!isDigit(c))
        return std::nullopt;
    if (!host.starts_with('[') && host.find_first_of("[]") != std::string_view::npos)
      return std::nullopt;
    parts.host = std::string(host);
  } else {
    parts.path = rest;
  }
  if (parts.path.find_first_of("[]") != std::string_view::npos)
    return std::nullopt;
  return parts;
}

// Strict: every "%" starts two hex digits and the bytes they make are well-formed UTF-8.
std::optional<std::string> percentDecoded(std::string_view piece) {
  std::string bytes;
  bytes.reserve(piece.size());
  for (std::size_t i = 0; i < piece.size(); ++i) {
    if (piece[i] != '%') {
      bytes += piece[i];
      continue;
    }
    if (i + 2 >= piece.size() || !isHex(piece[i + 1]) || !isHex(piece[i + 2]))
      return std::nullopt;
    bytes += static_cast<char>(hexValue(piece[i + 1]) * 16 + hexValue(piece[i + 2]));
    i += 2;
  }
  if (validUTF8(bytes) != bytes)
    return std::nullopt;
  return bytes;
}

std::string_view trimmingSpacesAndTabs(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

std::expected<std::string, std::string> linkPiece(std::string_view encoded) {
  const auto decoded = percentDecoded(encoded);
  if (!decoded)
    return std::unexpected("a part of it does not decode to UTF-8 text");
  std::string piece(trimmingSpacesAndTabs(*decoded));
  if (piece.empty())
    return std::unexpected("a part of it is empty");
  if (characterCount(piece) > maxLinkPieceCharacters)
    return std::unexpected("a part of it is longer than " + std::to_string(maxLinkPieceCharacters) +
                           " characters");
  for (char32_t scalar : unicodeScalars(piece))
    if (isRemovedByDisplayTextCleaner(scalar))
      return std::unexpected("a part of it holds invisible or control characters");
  return piece;
}

} // namespace

std::expected<LinkRequest, std::string> readLink(std::string_view url) {
  const auto parts = splitComponents(url);
  if (!parts)
    return std::unexpected("it is not a well-formed URL");
  if (parts->scheme != "corvane")
    return std::unexpected("it is not a corvane: link");
  const std::string host = lowercasedASCII(parts->host);

  std::vector<std::string_view> encoded;
  for (std::size_t start = 0;;) {
    const auto slash = parts->path.find('/', start);
    encoded.push_back(parts->path.substr(start, slash - start));
    if (slash == std::string_view::npos)
      break;
    start = slash + 1;
  }
  if (encoded.front().empty())
    encoded.erase(encoded.begin()); // the leading "/"

  std::vector<std::string> pieces;
  for (const auto piece : encoded) {
    auto decoded = linkPiece(piece);
    if (!decoded)
      return std::unexpected(std::move(decoded.error()));
    pieces.push_back(std::move(*decoded));
  }

  using Kind = LinkRequest::Kind;
  if ((host.empty() || host == "show") && pieces.empty())
    return LinkRequest{Kind::showPanel, {}};
  if (host == "pause-all" && pieces.empty())
    return LinkRequest{Kind::pauseAll, {}};
  if (host == "copy" && pieces.size() == 1)
    return LinkRequest{Kind::copy, std::move(pieces[0])};
  if (host == "open" && pieces.size() == 1)
    return LinkRequest{Kind::open, std::move(pieces[0])};
  if (host == "environment" && pieces.size() == 2 && lowercasedASCII(pieces[1]) == "pause")
    return LinkRequest{Kind::pauseEnvironment, std::move(pieces[0])};
  return std::unexpected("it asks for nothing Corvane does");
}

std::optional<LinkRequest> parseLink(std::string_view url) {
  auto request = readLink(url);
  return request ? std::optional(std::move(*request)) : std::nullopt;
}

} // namespace corvane
