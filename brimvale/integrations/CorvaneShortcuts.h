#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvane {

// The intents offered as ready-made actions without any set-up: five of them, each with a
// short title, a symbol and two phrases that name the application. Only the entities that fill
// a phrase's parameter change at run time.
struct AppShortcut {
  // Which intent the shortcut runs, made with every parameter at its default.
  enum class Intent {
    copyPortAddress,
    getConnectionString,
    openPort,
    setSharingPaused,
    setEnvironment
  };

  // A phrase's pieces: literal text, or a token the platform fills ("app" for the
  // application's name, or a parameter's name).
  struct Token {
    std::string name;
    bool operator==(const Token &) const = default;
  };
  using Piece = std::variant<std::string, Token>;
  using Phrase = std::vector<Piece>;

  Intent intent;
  std::vector<Phrase> phrases;
  std::string shortTitle;
  std::string systemImageName;
};

struct CorvaneShortcuts {
  static constexpr const char *applicationToken = "app";
  static constexpr const char *applicationName = "Corvane";

  // In the order they are offered.
  static std::vector<AppShortcut> appShortcuts();

  // A phrase as text: the application's name in place of its token, "{name}" for the others.
  static std::string render(const AppShortcut::Phrase &phrase);
};

} // namespace corvane
