#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// What a link of the "corvane" scheme asks for:
//   corvane://show                      showPanel
//   corvane://pause-all                 pauseAll
//   corvane://copy/<port>[@<Mac>]       copy, with the port's name (and Mac) in `name`
//   corvane://open/<port>[@<Mac>]       open, the same
//   corvane://environment/<name>/pause  pauseEnvironment, with the environment's name
struct LinkRequest {
  enum class Kind : std::uint8_t { showPanel, pauseAll, copy, open, pauseEnvironment };

  Kind kind = Kind::showPanel;
  std::string name; // decoded and trimmed; empty for showPanel and pauseAll

  bool operator==(const LinkRequest &) const = default;
};

// What a followed link leaves for the application to do.
struct LinkAction {
  enum class Kind : std::uint8_t { copy, open, showPanel };

  Kind kind = Kind::showPanel;
  std::string value; // the text to copy or the URL to open

  static LinkAction copy(std::string text) { return {Kind::copy, std::move(text)}; }
  static LinkAction open(std::string url) { return {Kind::open, std::move(url)}; }
  static LinkAction showPanel() { return {Kind::showPanel, {}}; }

  bool operator==(const LinkAction &) const = default;
};

// The longest name a link piece may carry, in user-perceived characters.
inline constexpr std::size_t maxLinkPieceCharacters = 129;

// Absent when the text is not one of the forms above. Scheme, host and "pause" are matched
// without regard to case; every path piece must percent-decode to valid UTF-8, be 1 to 129
// characters after trimming spaces and tabs, and hold no invisible or layout-breaking scalar.
// Pure; safe from any thread.
std::optional<LinkRequest> parseLink(std::string_view url);
// The same, with why a text is not such a link: one short English clause ("it is not a
// corvane: link") that never repeats the text.
std::expected<LinkRequest, std::string> readLink(std::string_view url);

} // namespace corvane
