#pragma once

namespace corvane {

// The action a flip of the control runs: files a request for the state the user chose and
// tells the application. It never fails and never opens the application. Any thread.
struct SetSharingFromControl {
  static constexpr const char *title = "Corvane Sharing";
  static constexpr const char *valueTitle = "Sharing";

  // The state the user asked for: true = share, false = pause.
  bool value = false;

  // Writes "paused" and "requestPaused" (both the negation of `value`), then "requestAt",
  // and posts the request notification whether or not the writes could be made.
  void perform() const;
};

} // namespace corvane
