#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

// A node of the YAML subset compose files use. Every leaf is text: numbers, booleans and nulls
// stay as written, an absent value is "". Only the member of the node's own case is filled.
class YAMLNode {
public:
  enum class Case : std::uint8_t { map, list, scalar };
  using Pair = std::pair<std::string, YAMLNode>;

  static YAMLNode map(std::vector<Pair> pairs);
  static YAMLNode list(std::vector<YAMLNode> items);
  static YAMLNode scalar(std::string text);

  Case which() const noexcept { return case_; }
  bool isMap() const noexcept { return case_ == Case::map; }
  bool isList() const noexcept { return case_ == Case::list; }
  bool isScalar() const noexcept { return case_ == Case::scalar; }

  // In file order; duplicate keys are kept.
  const std::vector<Pair> &pairs() const noexcept { return pairs_; }
  const std::vector<YAMLNode> &items() const noexcept { return items_; }
  const std::string &text() const noexcept { return text_; }

  friend bool operator==(const YAMLNode &a, const YAMLNode &b);

private:
  explicit YAMLNode(Case which) : case_(which) {}

  Case case_;
  std::vector<Pair> pairs_;
  std::vector<YAMLNode> items_;
  std::string text_;
};

// A forgiving reader: it never fails and skips what it does not understand. Aliases and merge
// keys are left as plain text so that callers can report them.
namespace MiniYAML {

// Nesting deeper than this is cut: a deeper block becomes "", a deeper inline value stays raw.
inline constexpr int maxDepth = 63;

struct Line {
  int indent = 0;   // leading spaces and tabs, each counting one
  std::string text; // the rest, comment removed, trimmed, valid UTF-8

  bool operator==(const Line &) const = default;
};

// The significant lines of a file: blank lines, comments, document markers and directives are
// dropped; CR LF ends and byte-order marks are tolerated.
std::vector<Line> lines(std::string_view text);

// The document root; none when there are no lines.
std::optional<YAMLNode> parse(std::vector<Line> lines);

// The value of the first pair whose key equals `key` exactly; none when absent or when `node` is
// not a map. The result points into `node`.
const YAMLNode *lookup(std::string_view key, const YAMLNode &node);

} // namespace MiniYAML

} // namespace corvane
