#include "brimvale/catalogue/ComposeImport.h"

#include "brimvale/catalogue/KnownServices.h"
#include "brimvale/platform/Unicode.h"

#include <charconv>
#include <cstdint>
#include <unicode/locid.h>
#include <unicode/unistr.h>
#include <unordered_map>

namespace corvane::ComposeImport {

namespace {

// Defaults inside defaults are followed only this far.
constexpr int maxVariableDepth = 7;

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

icu::UnicodeString unicodeOf(std::string_view text) {
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string utf8Of(const icu::UnicodeString &text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::string lowercased(std::string_view text) {
  return utf8Of(unicodeOf(text).toLower(icu::Locale::getRoot()));
}

std::string uppercased(std::string_view text) {
  return utf8Of(unicodeOf(text).toUpper(icu::Locale::getRoot()));
}

std::vector<std::string_view> splitKeepingEmpty(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

// An optional "+" then ASCII digits, within the 64-bit signed range.
std::optional<std::int64_t> wholeNumber(std::string_view text) {
  if (text.starts_with('+'))
    text.remove_prefix(1);
  if (text.empty())
    return std::nullopt;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.front() == '-')
    return std::nullopt;
  return value;
}

std::optional<std::string> scalarText(const YAMLNode &map, std::string_view key) {
  const YAMLNode *value = MiniYAML::lookup(key, map);
  if (value && value->isScalar())
    return value->text();
  return std::nullopt;
}

std::string cat(std::initializer_list<std::string_view> pieces) {
  std::string out;
  for (auto piece : pieces)
    out += piece;
  return out;
}

// A piece of the file as a sentence quotes it: a declaration may be as long as the file.
std::string excerpt(std::string_view piece) {
  if (piece.size() <= maxQuotedCharacters || characterCount(piece) <= maxQuotedCharacters)
    return std::string(piece);
  return characterPrefix(piece, maxQuotedCharacters - 1) + "\u2026";
}

Outcome unresolvedVariable(std::string_view name, std::string_view written) {
  return Outcome::skip(
      cat({name, ": ", excerpt(written), " depends on a variable with no default"}));
}

Outcome notTCP(std::string_view name, std::string_view what, std::string_view protocol) {
  return Outcome::skip(cat({name, ": ", excerpt(what), " is ", excerpt(uppercased(protocol)),
                            "; Corvane shares TCP ports"}));
}

Outcome portRange(std::string_view name, std::string_view range) {
  return Outcome::skip(cat(
      {name, ": port ranges like ", excerpt(range), " aren't supported; list the ports you need"}));
}

Outcome containerOnly(std::string_view name, std::string_view port) {
  return Outcome::skip(cat({name, ": ", excerpt(port), " is only open inside the container"}));
}

Outcome scalarPort(std::string_view text, std::string_view name) {
  const auto trimmed = trimBlanks(text);
  if (trimmed.starts_with('*'))
    return Outcome::skip(
        cat({name, ": uses a YAML alias (", excerpt(trimmed), "); list its ports directly"}));
  return parseShortPort(trimmed, name);
}

Outcome ownFilePort(std::string_view text, std::string_view name) {
  const auto resolved = resolveVariables(text);
  if (!resolved)
    return unresolvedVariable(name, text);
  return checkPublished(*resolved, "", name, text);
}

std::string serviceName(std::string_view key) {
  const auto trimmed = trimBlanks(key);
  if (trimmed.size() <= maxServiceNameCharacters)
    return std::string(trimmed);
  return characterPrefix(trimmed, maxServiceNameCharacters);
}

// The catalogue row that gives a service's ports their category, once per service.
std::optional<KnownService> recognise(const std::string &name, const YAMLNode &node) {
  if (auto row = KnownService::matchByName(name))
    return row;
  if (node.isMap())
    if (auto image = scalarText(node, "image"))
      return KnownService::matchByName(*image);
  return std::nullopt;
}

ExposedService::ServiceCategory categoryFor(const std::optional<KnownService> &row, int port) {
  if (!row)
    return ExposedService::ServiceCategory::custom;
  if (row->name == "RabbitMQ" && port == 15672)
    for (const auto &tool : KnownService::adminTools())
      if (tool.name == "RabbitMQ management")
        return tool.category;
  return row->category;
}

std::vector<Outcome> serviceOutcomes(const std::string &name, const YAMLNode &node, bool ownFile,
                                     bool extensionPorts) {
  std::vector<Outcome> outcomes;
  if (!node.isMap()) {
    if (ownFile && node.isScalar())
      outcomes.push_back(ownFilePort(node.text(), name));
    return outcomes;
  }
  const YAMLNode *ports = MiniYAML::lookup("ports", node);
  const YAMLNode *port = ownFile ? MiniYAML::lookup("port", node) : nullptr;
  if (MiniYAML::lookup("<<", node) && extensionPorts && !ports && !port)
    outcomes.push_back(Outcome::skip(name + ": uses a YAML merge key; list its ports directly"));
  if (port && port->isScalar())
    outcomes.push_back(ownFilePort(port->text(), name));
  if (ports) {
    if (ports->isList()) {
      for (const auto &item : ports->items()) {
        if (item.isMap())
          outcomes.push_back(parseLongPort(item, name));
        else if (item.isList())
          outcomes.push_back(Outcome::skip(name + ": couldn't read one of its ports"));
        else
          outcomes.push_back(scalarPort(item.text(), name));
      }
    } else {
      outcomes.push_back(readPortsValue(*ports, name));
    }
  }
  return outcomes;
}

} // namespace

const std::set<std::string, std::less<>> &localHostAddresses() {
  static const std::set<std::string, std::less<>> addresses{"", "127.0.0.1", "0.0.0.0",
                                                            "::", "::1"};
  return addresses;
}

const std::set<std::string, std::less<>> &ownFileNames() {
  static const std::set<std::string, std::less<>> names{"corvane.yml", "corvane.yaml"};
  return names;
}

std::optional<std::string> resolveVariables(std::string_view text, int depth) {
  if (depth > maxVariableDepth)
    return std::nullopt;
  if (text.find('$') == std::string_view::npos)
    return std::string(text);
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c != '$') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 == text.size())
      return std::nullopt;
    const char next = text[i + 1];
    if (next == '$') {
      out += '$';
      i += 2;
      continue;
    }
    if (next != '{')
      return std::nullopt;
    std::size_t close = i + 2;
    int open = 1;
    for (; close < text.size(); ++close) {
      if (text[close] == '{')
        ++open;
      else if (text[close] == '}' && --open == 0)
        break;
    }
    if (close >= text.size())
      return std::nullopt;
    const auto inner = text.substr(i + 2, close - i - 2);
    std::string_view fallback;
    if (const auto colonDash = inner.find(":-"); colonDash != std::string_view::npos)
      fallback = inner.substr(colonDash + 2);
    else if (const auto dash = inner.find('-'); dash != std::string_view::npos)
      fallback = inner.substr(dash + 1);
    else
      return std::nullopt;
    const auto resolved = resolveVariables(fallback, depth + 1);
    if (!resolved)
      return std::nullopt;
    out += *resolved;
    i = close + 1;
  }
  return out;
}

Outcome checkPublished(std::string_view published, std::string_view host,
                       std::string_view serviceName, std::string_view written) {
  const auto p = trimBlanks(published);
  auto h = trimBlanks(host);
  while (!h.empty() && (h.front() == '[' || h.front() == ']'))
    h.remove_prefix(1);
  while (!h.empty() && (h.back() == '[' || h.back() == ']'))
    h.remove_suffix(1);
  if (p.empty())
    return Outcome::skip(
        cat({serviceName, ": ", excerpt(written), " gets a different port each time it starts"}));
  if (p.find('-') != std::string_view::npos)
    return portRange(serviceName, p);
  const auto number = wholeNumber(p);
  if (!number || *number < 1 || *number > 65535)
    return Outcome::skip(cat({serviceName, ": ", excerpt(p), " isn't a port number"}));
  if (!localHostAddresses().contains(h))
    return Outcome::skip(cat({serviceName, ": ", std::to_string(*number), " listens on ",
                              excerpt(h), " only, not on this Mac's localhost"}));
  return Outcome::port(static_cast<int>(*number));
}

Outcome parseShortPort(std::string_view value, std::string_view serviceName) {
  const auto resolved = resolveVariables(value);
  if (!resolved)
    return unresolvedVariable(serviceName, value);
  auto s = trimBlanks(*resolved);
  if (const auto slash = s.rfind('/'); slash != std::string_view::npos) {
    const std::string protocol = lowercased(s.substr(slash + 1));
    s = s.substr(0, slash);
    if (protocol != "tcp")
      return notTCP(serviceName, value, protocol);
  }
  if (s.starts_with('[') && s.find(']') != std::string_view::npos) {
    const auto close = s.find(']');
    const auto host = s.substr(1, close - 1);
    auto rest = s.substr(close + 1);
    while (rest.starts_with(':'))
      rest.remove_prefix(1);
    const auto parts = splitKeepingEmpty(rest, ':');
    if (parts.size() == 2)
      return checkPublished(parts[0], host, serviceName, value);
    return Outcome::skip(cat({serviceName, ": couldn't read ", excerpt(value)}));
  }
  const auto parts = splitKeepingEmpty(s, ':');
  if (parts.size() == 1) {
    if (parts[0].find('-') != std::string_view::npos)
      return portRange(serviceName, parts[0]);
    return containerOnly(serviceName, parts[0]);
  }
  if (parts.size() == 2)
    return checkPublished(parts[0], "", serviceName, value);
  // Everything before the published port is the host address, which may itself hold colons.
  const auto published = parts[parts.size() - 2];
  const auto host = s.substr(0, static_cast<std::size_t>(published.data() - s.data()) - 1);
  return checkPublished(published, host, serviceName, value);
}

Outcome parseLongPort(const YAMLNode &portMap, std::string_view serviceName) {
  const auto published = scalarText(portMap, "published");
  const auto target = scalarText(portMap, "target");
  const std::string protocol = lowercased(scalarText(portMap, "protocol").value_or(""));
  if (!protocol.empty() && protocol != "tcp")
    return notTCP(serviceName, published ? *published : target ? *target : "a port", protocol);
  if (!published || published->empty())
    return containerOnly(serviceName, target ? *target : "a port");
  const auto resolved = resolveVariables(*published);
  if (!resolved)
    return unresolvedVariable(serviceName, *published);
  std::string host;
  if (const auto hostText = scalarText(portMap, "host_ip"))
    host = resolveVariables(*hostText).value_or("");
  return checkPublished(*resolved, host, serviceName, *published);
}

Outcome readPortsValue(const YAMLNode &value, std::string_view serviceName) {
  if (value.isMap())
    return parseLongPort(value, serviceName);
  if (value.isList())
    return Outcome::skip(std::string(serviceName) + ": couldn't read one of its ports");
  return scalarPort(value.text(), serviceName);
}

Result importCompose(std::string_view text, std::string_view fileName) {
  Result result;
  if (text.size() > maxFileBytes)
    return result;
  const auto root = MiniYAML::parse(MiniYAML::lines(text));
  if (!root)
    return result;
  if (const auto name = scalarText(*root, "name")) {
    const auto trimmed = trimBlanks(*name);
    if (!trimmed.empty())
      result.project = std::string(trimmed);
  }
  const YAMLNode *services = MiniYAML::lookup("services", *root);
  if (!services || !services->isMap())
    return result;

  const bool ownFile = ownFileNames().contains(lowercased(fileName));
  bool extensionPorts = false;
  for (const auto &[key, value] : root->pairs())
    if (key.starts_with("x-") && value.isMap() && MiniYAML::lookup("ports", value))
      extensionPorts = true;

  std::unordered_map<int, std::string> claimed;
  for (const auto &[key, node] : services->pairs()) {
    const std::string name = serviceName(key);
    if (name.empty())
      continue;
    const auto outcomes = serviceOutcomes(name, node, ownFile, extensionPorts);
    std::optional<std::optional<KnownService>> row;
    std::set<int> accepted;
    for (const auto &outcome : outcomes) {
      if (outcome.which() == Outcome::Case::skip) {
        result.skipped.push_back(outcome.sentence());
        continue;
      }
      const int port = outcome.portNumber();
      if (accepted.contains(port))
        continue;
      if (const auto owner = claimed.find(port); owner != claimed.end()) {
        result.skipped.push_back(
            cat({name, ": ", std::to_string(port), " is already ", owner->second, "'s"}));
        continue;
      }
      std::string foundName = accepted.empty() ? name : name + " " + std::to_string(port);
      accepted.insert(port);
      claimed.emplace(port, foundName);
      if (!row)
        row = recognise(name, node);
      result.found.push_back(Found{std::move(foundName), port, categoryFor(*row, port)});
    }
  }
  return result;
}

} // namespace corvane::ComposeImport
