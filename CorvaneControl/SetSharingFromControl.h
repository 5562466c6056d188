#pragma once

#include <expected>
#include <string>

namespace corvane {

// The action a flip of the control runs: files a request for the state the user chose and
// tells the application. It never opens the application. Any thread.
struct SetSharingFromControl {
  static constexpr const char *title = "Corvane Sharing";
  static constexpr const char *valueTitle = "Sharing";

  // The state the user asked for: true = share, false = pause.
  bool value = false;

  // Writes "paused" and "requestPaused" (both the negation of `value`), then "requestAt",
  // and posts the request notification whether or not the writes could be made. Gives why
  // the request could not be filed.
  std::expected<void, std::string> perform() const;
  // Files the opposite of the state sharing will be in once the application has taken every
  // request filed so far, decided under the same lock as the write, so that toggles made at
  // the same time each flip the one before. Posts like perform.
  static std::expected<void, std::string> toggle();
};

} // namespace corvane
