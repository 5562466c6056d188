#include "brimvale/catalogue/Yaml.h"

#include "brimvale/platform/Unicode.h"

#include <algorithm>

namespace corvane {

YAMLNode YAMLNode::map(std::vector<Pair> pairs) {
  YAMLNode node(Case::map);
  node.pairs_ = std::move(pairs);
  return node;
}

YAMLNode YAMLNode::list(std::vector<YAMLNode> items) {
  YAMLNode node(Case::list);
  node.items_ = std::move(items);
  return node;
}

YAMLNode YAMLNode::scalar(std::string text) {
  YAMLNode node(Case::scalar);
  node.text_ = std::move(text);
  return node;
}

bool operator==(const YAMLNode &a, const YAMLNode &b) {
  if (a.case_ != b.case_)
    return false;
  switch (a.case_) {
  case YAMLNode::Case::map: return a.pairs_ == b.pairs_;
  case YAMLNode::Case::list: return a.items_ == b.items_;
  case YAMLNode::Case::scalar: return a.text_ == b.text_;
  }
  return false;
}

namespace MiniYAML {

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trimBlanks(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isBlank(text[begin]))
    ++begin;
  while (end > begin && isBlank(text[end - 1]))
    --end;
  return text.substr(begin, end - begin);
}

// Decides which characters lie inside quotes. A quote opens only where YAML could start a
// quoted scalar, so apostrophes inside plain words stay ordinary. All the characters involved
// are ASCII, so scanning the UTF-8 bytes is exact.
class QuoteScanner {
public:
  QuoteScanner() = default;
  explicit QuoteScanner(char previous) : previous_(previous), atStart_(false) {}

  // True when `c` is outside any quoted section and is not itself a quote delimiter.
  bool outside(char c) {
    bool result = false;
    if (quote_ != 0) {
      if (c == quote_)
        quote_ = 0;
    } else if ((c == '"' || c == '\'') && (atStart_ || opensAfter(previous_))) {
      quote_ = c;
    } else {
      result = true;
    }
    previous_ = c;
    atStart_ = false;
    return result;
  }

private:
  static bool opensAfter(char c) {
    return c == ' ' || c == '\t' || c == ':' || c == '-' || c == '[' || c == '{' || c == ',';
  }

  char quote_ = 0;
  char previous_ = 0;
  bool atStart_ = true;
};

bool isListItem(std::string_view text) {
  return text == "-" || (text.size() >= 2 && text[0] == '-' && isBlank(text[1]));
}

std::string_view stripComment(std::string_view text) {
  QuoteScanner scanner;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (scanner.outside(c) && c == '#' && (i == 0 || isBlank(text[i - 1])))
      return text.substr(0, i);
  }
  return text;
}

std::string unquote(std::string_view text) {
  if (text.empty())
    return {};
  std::string out;
  if (text[0] == '"') {
    for (std::size_t i = 1; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '"')
        break;
      if (c == '\\' && i + 1 < text.size()) {
        const char escaped = text[++i];
        out += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
      } else {
        out += c;
      }
    }
    return out;
  }
  if (text[0] == '\'') {
    for (std::size_t i = 1; i < text.size(); ++i) {
      if (text[i] == '\'') {
        if (i + 1 < text.size() && text[i + 1] == '\'') {
          out += '\'';
          ++i;
          continue;
        }
        break;
      }
      out += text[i];
    }
    return out;
  }
  return std::string(text);
}

// Anchors and tags carry nothing the compose import needs.
std::string_view stripProperties(std::string_view text) {
  text = trimBlanks(text);
  while (!text.empty() && (text[0] == '&' || text[0] == '!')) {
    std::size_t end = 0;
    while (end < text.size() && !isBlank(text[end]))
      ++end;
    text = trimBlanks(text.substr(end));
  }
  return text;
}

struct KeyValue {
  std::string key;
  std::string_view value;
};

std::optional<KeyValue> splitKeyValue(std::string_view text) {
  if (text.empty())
    return std::nullopt;
  QuoteScanner scanner;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!scanner.outside(c))
      continue;
    if (i == 0 && (c == '[' || c == '{'))
      return std::nullopt;
    if (c == ':' && (i + 1 == text.size() || isBlank(text[i + 1])))
      return KeyValue{unquote(trimBlanks(text.substr(0, i))), trimBlanks(text.substr(i + 1))};
  }
  return std::nullopt;
}

std::vector<std::string_view> splitFlowItems(std::string_view text) {
  std::vector<std::string_view> items;
  if (text.empty())
    return items;
  QuoteScanner scanner(text[0]);
  int depth = 0;
  std::size_t start = 1;
  std::size_t i = 1;
  auto finish = [&](std::size_t end) {
    const auto item = trimBlanks(text.substr(start, end - start));
    if (!item.empty())
      items.push_back(item);
  };
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (!scanner.outside(c))
      continue;
    if (c == '[' || c == '{') {
      ++depth;
    } else if (c == ']' || c == '}') {
      if (depth == 0)
        break;
      --depth;
    } else if (c == ',' && depth == 0) {
      finish(i);
      start = i + 1;
    }
  }
  finish(i);
  return items;
}

YAMLNode parseInline(std::string_view text, int depth) {
  const auto t = stripProperties(text);
  if (depth > maxDepth)
    return YAMLNode::scalar(std::string(t));
  if (!t.empty() && t[0] == '[') {
    std::vector<YAMLNode> items;
    for (auto item : splitFlowItems(t))
      items.push_back(parseInline(item, depth + 1));
    return YAMLNode::list(std::move(items));
  }
  if (!t.empty() && t[0] == '{') {
    std::vector<YAMLNode::Pair> pairs;
    for (auto item : splitFlowItems(t)) {
      if (auto kv = splitKeyValue(item))
        pairs.emplace_back(std::move(kv->key), parseInline(kv->value, depth + 1));
      else
        pairs.emplace_back(unquote(item), YAMLNode::scalar({}));
    }
    return YAMLNode::map(std::move(pairs));
  }
  return YAMLNode::scalar(unquote(t));
}

// One parse: a cursor over its own copy of the lines, which list items may rewrite.
class Parser {
public:
  explicit Parser(std::vector<Line> lines) : lines_(std::move(lines)) {}

  bool empty() const { return lines_.empty(); }
  const Line &first() const { return lines_.front(); }

  YAMLNode parseBlock(int depth) {
    const int indent = lines_[cursor_].indent;
    if (depth > maxDepth) {
      ++cursor_;
      while (remaining() && lines_[cursor_].indent > indent)
        ++cursor_;
      return YAMLNode::scalar({});
    }
    if (isListItem(lines_[cursor_].text))
      return parseList(indent, depth);
    return parseMap(indent, depth);
  }

private:
  bool remaining() const { return cursor_ < lines_.size(); }

  YAMLNode parseMap(int indent, int depth) {
    std::vector<YAMLNode::Pair> pairs;
    while (remaining()) {
      const Line &line = lines_[cursor_];
      if (line.indent < indent)
        break;
      if (line.indent > indent) {
        ++cursor_;
        continue;
      }
      if (isListItem(line.text))
        break;
      auto kv = splitKeyValue(line.text);
      ++cursor_;
      if (!kv)
        continue;
      // The value view points into a line that later steps may replace; copy it first.
      const std::string value(kv->value);
      pairs.emplace_back(std::move(kv->key), parseValue(value, indent, depth));
    }
    return YAMLNode::map(std::move(pairs));
  }

  YAMLNode parseList(int indent, int depth) {
    std::vector<YAMLNode> items;
    while (remaining()) {
      Line &line = lines_[cursor_];
      if (line.indent < indent)
        break;
      if (line.indent > indent) {
        ++cursor_;
        continue;
      }
      if (!isListItem(line.text))
        break;
      const std::string_view afterDash = std::string_view(line.text).substr(1);
      std::size_t spaces = 0;
      while (spaces < afterDash.size() && isBlank(afterDash[spaces]))
        ++spaces;
      const std::string rest(stripProperties(afterDash.substr(spaces)));
      if (rest.empty()) {
        ++cursor_;
        if (remaining() && lines_[cursor_].indent > indent)
          items.push_back(parseBlock(depth + 1));
        else
          items.push_back(YAMLNode::scalar({}));
      } else if (isListItem(rest) || splitKeyValue(rest)) {
        // The item's content becomes a line of its own at the column where it starts.
        line = Line{indent + 1 + static_cast<int>(spaces), rest};
        items.push_back(parseBlock(depth + 1));
      } else {
        ++cursor_;
        items.push_back(parseInline(rest, depth + 1));
      }
    }
    return YAMLNode::list(std::move(items));
  }

  YAMLNode parseValue(std::string_view text, int indent, int depth) {
    std::string value(stripProperties(text));
    if (value.empty()) {
      if (remaining() && lines_[cursor_].indent > indent)
        return parseBlock(depth + 1);
      if (remaining() && lines_[cursor_].indent == indent && isListItem(lines_[cursor_].text))
        return parseList(indent, depth + 1);
      return YAMLNode::scalar({});
    }
    if (value[0] == '|' || value[0] == '>') {
      const char separator = value[0] == '|' ? '\n' : ' ';
      std::string joined;
      bool firstLine = true;
      while (remaining() && lines_[cursor_].indent > indent) {
        if (!firstLine)
          joined += separator;
        joined += lines_[cursor_].text;
        firstLine = false;
        ++cursor_;
      }
      return YAMLNode::scalar(std::move(joined));
    }
    if (value[0] == '[' || value[0] == '{') {
      QuoteScanner scanner;
      int open = 0;
      auto count = [&](std::string_view part) {
        for (char c : part) {
          if (!scanner.outside(c))
            continue;
          if (c == '[' || c == '{')
            ++open;
          else if ((c == ']' || c == '}') && open > 0)
            --open;
        }
      };
      count(value);
      while (open > 0 && remaining() && lines_[cursor_].indent > indent) {
        const std::size_t from = value.size();
        value += ' ';
        value += lines_[cursor_].text;
        count(std::string_view(value).substr(from));
        ++cursor_;
      }
    }
    return parseInline(value, depth + 1);
  }

  std::vector<Line> lines_;
  std::size_t cursor_ = 0;
};

} // namespace

std::vector<Line> lines(std::string_view text) {
  static constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
  std::vector<Line> result;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos)
      end = text.size();
    std::string_view piece = text.substr(start, end - start);
    start = end + 1;
    if (piece.empty())
      continue;
    if (piece.starts_with(byteOrderMark))
      piece.remove_prefix(byteOrderMark.size());
    std::size_t indent = 0;
    while (indent < piece.size() && isBlank(piece[indent]))
      ++indent;
    const std::string decoded = validUTF8(piece.substr(indent));
    std::string rest = trimmingWhitespaceAndNewlines(stripComment(decoded));
    if (rest.empty() || rest == "---" || rest == "..." || rest[0] == '%')
      continue;
    // Clamped so that indent arithmetic cannot overflow on absurd input.
    result.push_back(
        Line{static_cast<int>(std::min<std::size_t>(indent, 1 << 30)), std::move(rest)});
  }
  return result;
}

std::optional<YAMLNode> parse(std::vector<Line> lines) {
  Parser parser(std::move(lines));
  if (parser.empty())
    return std::nullopt;
  const Line &first = parser.first();
  if (isListItem(first.text) || splitKeyValue(first.text))
    return parser.parseBlock(0);
  return parseInline(first.text, 0);
}

const YAMLNode *lookup(std::string_view key, const YAMLNode &node) {
  if (!node.isMap())
    return nullptr;
  for (const auto &[k, value] : node.pairs())
    if (k == key)
      return &value;
  return nullptr;
}

} // namespace MiniYAML

} // namespace corvane
