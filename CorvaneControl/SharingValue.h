#pragma once

namespace corvane {

// Supplies the control's value: true while sharing is on. Every call reads the app group's
// settings file anew, so it may be called from any thread.
struct SharingValue {
  // True only while the application has said that it runs and has not said that sharing is
  // paused; false in every other case, including a settings file that cannot be had.
  bool currentValue() const;
  // Whether the application has said that it runs (and not yet that it stopped).
  bool applicationRunning() const;
  // What a gallery shows before anything is known.
  bool previewValue() const { return true; }
};

} // namespace corvane
