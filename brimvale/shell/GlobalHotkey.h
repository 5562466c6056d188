#pragma once

#include "brimvale/platform/UserDefaults.h"

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QKeyEvent;

namespace corvane {

// The keyboard shortcut that opens the panel from any application: an X11 key grab on the
// root window, heard through the Qt event loop. The stored key code and modifier mask keep
// the values the settings have always used (the key code of D is 2; command 256, shift 512,
// option 2048, control 4096); here command is Ctrl, control is Super, option is Alt and shift
// is Shift. Without X11 (a Wayland session, the offscreen platform) nothing can be grabbed.
// Main thread only; a QGuiApplication must exist.
class GlobalHotkey : public QAbstractNativeEventFilter {
public:
  static constexpr const char *enabledKey = "globalShortcut";
  static constexpr const char *keyCodeKey = "globalShortcutKeyCode";
  static constexpr const char *modifiersKey = "globalShortcutModifiers";
  static constexpr const char *labelKey = "globalShortcutLabel";
  static constexpr std::int64_t defaultKeyCode = 2;
  static constexpr std::int64_t defaultModifiers = 768;
  static constexpr const char *defaultLabel = "Ctrl+Shift+D";
  static constexpr const char *waylandText =
      "Global shortcuts are not available in a Wayland session.";
  static constexpr const char *noX11Text = "Global shortcuts need an X11 session.";

  static constexpr std::uint32_t commandBit = 256;
  static constexpr std::uint32_t shiftBit = 512;
  static constexpr std::uint32_t optionBit = 2048;
  static constexpr std::uint32_t controlBit = 4096;

  // X11's modifier masks.
  static constexpr std::uint16_t x11Shift = 1;
  static constexpr std::uint16_t x11Lock = 2;
  static constexpr std::uint16_t x11Control = 4;
  static constexpr std::uint16_t x11Alt = 8;      // Mod1
  static constexpr std::uint16_t x11NumLock = 16; // Mod2
  static constexpr std::uint16_t x11Super = 64;   // Mod4

  struct Shortcut {
    std::uint32_t keyCode = 0;
    std::uint32_t modifiers = 0;
    std::string label;
    bool operator==(const Shortcut &) const = default;
  };

  // A stored shortcut as X11 knows it: the key's symbol and the modifier mask.
  struct X11Key {
    std::uint32_t keysym = 0;
    std::uint16_t mask = 0;
    bool operator==(const X11Key &) const = default;
  };

  // Absent for a key code the table does not know, one outside the unsigned 32-bit range, a
  // mask with other bits than the four modifiers, or no modifier at all.
  static std::optional<X11Key> x11Key(std::int64_t keyCode, std::int64_t modifiers);
  // The stored key code of a printable key by its upper-cased character ("D" → 2).
  static std::optional<std::uint32_t> keyCodeForCharacter(char32_t character);

  // The held modifiers of a stored mask as this desktop names keys, each followed by "+":
  // "Ctrl+Shift+" for command and shift.
  static std::string modifierText(std::uint32_t modifiers);
  // The stored shortcut as shown to the user: its label, with the modifier signs of labels that
  // older releases stored ("⌘⇧D") named as this desktop names them.
  static std::string shownLabel(UserDefaults &defaults);
  // Why no shortcut can be grabbed in this session at all (not X11); absent where one can.
  static std::optional<std::string> unavailableReason();

  // A new shortcut from a key press: at least one of command, control or option, and a key
  // that gives one printable character, labelled "Ctrl+Shift+D". Absent otherwise.
  static std::optional<Shortcut> shortcutFromEvent(const QKeyEvent &event);
  static std::optional<Shortcut> shortcutFromKey(int qtKey, Qt::KeyboardModifiers modifiers);

  // `defaults` (the standard domain) must outlive this object. `openPanel` shows the panel as
  // a click on the tray icon does.
  GlobalHotkey(UserDefaults &defaults, std::function<void()> openPanel);
  ~GlobalHotkey() override;
  GlobalHotkey(const GlobalHotkey &) = delete;
  GlobalHotkey &operator=(const GlobalHotkey &) = delete;

  // Lets go of the grab held, then grabs the stored shortcut when `enabled`. True when
  // disabled or when the grab took; false when another application holds the combination,
  // the stored shortcut is not valid, or there is no X11 display.
  bool registerHotKey(bool enabled);
  bool isRegistered() const { return keycode_ != 0; }
  // Shows the panel.
  void openPanel();
  // Stores the three values, then registers again with the stored switch (default on).
  bool saveShortcut(std::int64_t keyCode, std::int64_t modifiers, const std::string &label);

  bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
  void ungrab();

  UserDefaults &defaults_;
  std::function<void()> openPanel_;
  // Deferred opening runs against this; it ends with the hot key.
  std::unique_ptr<QObject> context_;
  bool filterInstalled_ = false;
  std::uint8_t keycode_ = 0;
  std::uint16_t mask_ = 0;
};

} // namespace corvane
