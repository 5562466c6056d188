#include "brimvale/shell/GlobalHotkey.h"

#include <QKeyEvent>
#include <gtest/gtest.h>

namespace corvane {
namespace {

using X11Key = GlobalHotkey::X11Key;

TEST(GlobalHotkeyTest, StoredShortcutsMapToX11KeysAndMasks) {
  // The default: command-shift-D is Ctrl+Shift+d.
  EXPECT_EQ(GlobalHotkey::x11Key(2, 768),
            (X11Key{'d', GlobalHotkey::x11Control | GlobalHotkey::x11Shift}));
  // Control is Super, option is Alt.
  EXPECT_EQ(GlobalHotkey::x11Key(40, 6144),
            (X11Key{'k', GlobalHotkey::x11Super | GlobalHotkey::x11Alt}));
  EXPECT_EQ(GlobalHotkey::x11Key(18, 256), (X11Key{'1', GlobalHotkey::x11Control}));
  EXPECT_EQ(GlobalHotkey::x11Key(50, 2048), (X11Key{'`', GlobalHotkey::x11Alt}));
  // Refused: shift alone, no modifier, unknown bits, unknown keys, out-of-range codes.
  EXPECT_EQ(GlobalHotkey::x11Key(2, 512), std::nullopt);
  EXPECT_EQ(GlobalHotkey::x11Key(2, 0), std::nullopt);
  EXPECT_EQ(GlobalHotkey::x11Key(2, 768 | 1), std::nullopt);
  EXPECT_EQ(GlobalHotkey::x11Key(10, 256), std::nullopt);
  EXPECT_EQ(GlobalHotkey::x11Key(0x100000002LL, 256), std::nullopt);
  EXPECT_EQ(GlobalHotkey::x11Key(-1, 256), std::nullopt);
  // Every printable key maps back to its stored code.
  for (char32_t c = U'A'; c <= U'Z'; ++c)
    EXPECT_TRUE(GlobalHotkey::keyCodeForCharacter(c)) << char(c);
  for (char32_t c = U'0'; c <= U'9'; ++c)
    EXPECT_TRUE(GlobalHotkey::keyCodeForCharacter(c)) << char(c);
}

TEST(GlobalHotkeyTest, ShortcutsFromKeyPressesAreLabelledAsThisDesktopNamesKeys) {
  using S = GlobalHotkey::Shortcut;
  const QKeyEvent commandShiftD(QEvent::KeyPress, Qt::Key_D,
                                Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(GlobalHotkey::shortcutFromEvent(commandShiftD), (S{2, 768, "Ctrl+Shift+D"}));
  EXPECT_EQ(GlobalHotkey::shortcutFromKey(Qt::Key_K, Qt::MetaModifier | Qt::AltModifier),
            (S{40, 6144, "Alt+Super+K"}));
  EXPECT_EQ(GlobalHotkey::shortcutFromKey(Qt::Key_P, Qt::MetaModifier | Qt::AltModifier |
                                                         Qt::ShiftModifier | Qt::ControlModifier),
            (S{35, 4096 | 2048 | 512 | 256, "Ctrl+Alt+Shift+Super+P"}));
  EXPECT_STREQ(GlobalHotkey::defaultLabel, "Ctrl+Shift+D");
  // A label an older release stored with signs is shown with names, from the stored mask.
  const auto defaults = UserDefaults::inMemory();
  EXPECT_EQ(GlobalHotkey::shownLabel(*defaults), "Ctrl+Shift+D");
  defaults->setString(GlobalHotkey::labelKey, "⌘⇧D");
  EXPECT_EQ(GlobalHotkey::shownLabel(*defaults), "Ctrl+Shift+D");
  defaults->setString(GlobalHotkey::labelKey, "⌃⌥!");
  defaults->setInteger(GlobalHotkey::modifiersKey, 6144);
  EXPECT_EQ(GlobalHotkey::shownLabel(*defaults), "Alt+Super+!");
  defaults->setString(GlobalHotkey::labelKey, "Ctrl+Alt+K");
  EXPECT_EQ(GlobalHotkey::shownLabel(*defaults), "Ctrl+Alt+K");
  // Shift alone is not enough; keys without one printable character give nothing.
  EXPECT_EQ(GlobalHotkey::shortcutFromKey(Qt::Key_A, Qt::ShiftModifier), std::nullopt);
  EXPECT_EQ(GlobalHotkey::shortcutFromKey(Qt::Key_Space, Qt::ControlModifier), std::nullopt);
  EXPECT_EQ(GlobalHotkey::shortcutFromKey(Qt::Key_F5, Qt::ControlModifier), std::nullopt);
  EXPECT_EQ(GlobalHotkey::shortcutFromKey(Qt::Key_Escape, Qt::ControlModifier), std::nullopt);
}

TEST(GlobalHotkeyTest, SavingStoresTheShortcutAndRegistersOnlyWhenEnabled) {
  const auto defaults = UserDefaults::inMemory();
  int opened = 0;
  GlobalHotkey hotkey(*defaults, [&] { ++opened; });
  defaults->setBool(GlobalHotkey::enabledKey, false);
  EXPECT_TRUE(hotkey.saveShortcut(40, 6144, "Alt+Super+K"));
  EXPECT_FALSE(hotkey.isRegistered());
  EXPECT_EQ(defaults->integer(GlobalHotkey::keyCodeKey), 40);
  EXPECT_EQ(defaults->integer(GlobalHotkey::modifiersKey), 6144);
  EXPECT_EQ(defaults->string(GlobalHotkey::labelKey), "Alt+Super+K");
  // Without X11 (this platform is offscreen) nothing can be grabbed, and the reason says which
  // session this is.
  EXPECT_FALSE(hotkey.registerHotKey(true));
  const QByteArray session = qgetenv("XDG_SESSION_TYPE");
  const QByteArray display = qgetenv("WAYLAND_DISPLAY");
  qputenv("XDG_SESSION_TYPE", "wayland");
  EXPECT_EQ(GlobalHotkey::unavailableReason(),
            "Global shortcuts are not available in a Wayland session.");
  qputenv("XDG_SESSION_TYPE", "tty");
  qunsetenv("WAYLAND_DISPLAY");
  EXPECT_EQ(GlobalHotkey::unavailableReason(), "Global shortcuts need an X11 session.");
  qputenv("XDG_SESSION_TYPE", session);
  if (!display.isEmpty())
    qputenv("WAYLAND_DISPLAY", display);
  EXPECT_TRUE(hotkey.registerHotKey(false));
  hotkey.openPanel();
  EXPECT_EQ(opened, 1);
}

} // namespace
} // namespace corvane
