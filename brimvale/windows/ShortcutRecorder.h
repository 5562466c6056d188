#pragma once

#include "brimvale/shell/GlobalHotkey.h"

#include <QObject>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QAbstractButton;
class QCheckBox;
class QKeyEvent;
class QPushButton;

namespace corvane {

class ChipButtonStyle;
class UserDefaults;

// The "Keyboard shortcut" row of the settings: the switch that turns the global shortcut on
// or off and the button that records a new one. While recording, an event filter on the
// application takes every key press (and only then: it is removed on every way out of
// recording, when the row is hidden and when it goes), so the old combination reaches the
// recorder instead of opening the panel. Main thread only; `defaults` and whatever `Hotkey`
// calls must outlive the row.
class ShortcutRecorder : public QWidget {
  Q_OBJECT

public:
  static constexpr std::uint32_t escapeKeyCode = 53;

  // The hot-key component as the row uses it.
  struct Hotkey {
    std::function<bool(bool enabled)> registerHotKey;
    std::function<bool(std::int64_t keyCode, std::int64_t modifiers, const std::string &label)>
        saveShortcut;
    // Why this session cannot hold any shortcut (Wayland), or absent; empty: it can.
    std::function<std::optional<std::string>()> unavailable;

    // Over the application's hot key; with none, the shortcut is stored but never registered.
    static Hotkey of(GlobalHotkey *hotkey, UserDefaults &defaults);
  };

  ShortcutRecorder(UserDefaults &defaults, Hotkey hotkey, QWidget *parent = nullptr);
  ~ShortcutRecorder() override;

  // The stored key code of an X11 key (its position on a US keyboard), 53 for Escape.
  static std::optional<std::uint32_t> keyCodeOfX11Key(std::uint32_t x11Keycode);
  // The shortcut a key press records: the key code from the X11 key when known (else from the
  // character), the label from the character the key gives with Shift applied.
  static std::optional<GlobalHotkey::Shortcut>
  recordedShortcut(int qtKey, Qt::KeyboardModifiers modifiers, std::uint32_t x11Keycode);
  static bool isEscape(int qtKey, std::uint32_t x11Keycode);

  bool recording() const { return recording_; }
  bool hasKeyMonitor() const { return keyMonitor_ != nullptr; }
  bool shortcutOn() const;
  std::string shortcutLabel() const;
  const std::optional<std::string> &shortcutError() const { return shortcutError_; }

  void toggleRecording();
  void startRecordingShortcut();
  void stopRecordingShortcut();
  // Stops a recording and registers the stored shortcut again; nothing when not recording.
  void cancelRecording();
  // The key monitor's handler: every key press is consumed.
  void handleRecordedKey(const QKeyEvent &event);
  void shortcutSwitchChanged(bool on);

  QPushButton *shortcutButton() const { return button_; }
  QCheckBox *shortcutSwitch() const { return switch_; }

protected:
  void hideEvent(QHideEvent *event) override;

private:
  class KeyMonitor;

  void rebuild();
  // What the row says when the shortcut labelled `label` could not be registered.
  std::string refusedText(const std::string &label) const;

  UserDefaults &defaults_;
  Hotkey hotkey_;
  bool recording_ = false;
  KeyMonitor *keyMonitor_ = nullptr; // a filter on the application while recording
  std::optional<std::string> shortcutError_;
  QWidget *label_ = nullptr;
  QPushButton *button_ = nullptr;
  ChipButtonStyle *buttonStyle_ = nullptr;
  QCheckBox *switch_ = nullptr;
};

} // namespace corvane
