#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// Asks the desktop which application handles a URL, and hands URLs to it.
class UrlOpener {
public:
  virtual ~UrlOpener() = default;

  // The application registered for the URL's scheme; absent when there is none or the text has
  // no valid scheme.
  virtual std::optional<std::string> applicationFor(std::string_view url) = 0;
  // False when the URL has no valid scheme or could not be handed over.
  virtual bool open(std::string_view url) = 0;
};

// The lower-cased scheme of a URL: a letter, then letters, digits, "+", "-" or ".", then ":".
std::optional<std::string> urlScheme(std::string_view url);

// The freedesktop tools, run directly (no shell) with an argument vector, bounded output and a
// time limit.
class XdgUrlOpener final : public UrlOpener {
public:
  struct Options {
    std::string queryProgram = "xdg-mime";
    std::string openProgram = "xdg-open";
    // Starts the opener in a session of its own and returns at once, so the opened
    // application is never our child.
    std::string detachProgram = "setsid";
    double timeLimitSeconds = 3.0;
    std::size_t maxOutputBytes = 4096;
  };

  XdgUrlOpener() = default;
  explicit XdgUrlOpener(Options options) : options_(std::move(options)) {}

  std::optional<std::string> applicationFor(std::string_view url) override;
  bool open(std::string_view url) override;

private:
  Options options_;
};

// For tests: handlers by scheme, and a record of what was opened.
class FakeUrlOpener final : public UrlOpener {
public:
  std::map<std::string, std::string> handlers; // lower-case scheme → application
  std::vector<std::string> opened;

  std::optional<std::string> applicationFor(std::string_view url) override;
  bool open(std::string_view url) override;
};

} // namespace corvane
