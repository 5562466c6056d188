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

TEST(GlobalHotkeyTest, ShortcutsFromKeyPressesKeepTheirLabels) {
  using S = GlobalHotkey::Shortcut;
  const QKeyEvent commandShiftD(QEvent::KeyPress, Qt::Key_D,
                                Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(GlobalHotkey::shortcutFromEvent(commandShiftD), (S{2, 768, "⌘⇧D"}));
  EXPECT_EQ(GlobalHotkey::shortcutFromKey(Qt::Key_K, Qt::MetaModifier | Qt::AltModifier),
            (S{40, 6144, "⌃⌥K"}));
  EXPECT_EQ(GlobalHotkey::shortcutFromKey(Qt::Key_P, Qt::MetaModifier | Qt::AltModifier |
                                                         Qt::ShiftModifier | Qt::ControlModifier),
            (S{35, 4096 | 2048 | 512 | 256, "⌃⌥⇧⌘P"}));
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
  EXPECT_TRUE(hotkey.saveShortcut(40, 6144, "⌃⌥K"));
  EXPECT_FALSE(hotkey.isRegistered());
  EXPECT_EQ(defaults->integer(GlobalHotkey::keyCodeKey), 40);
  EXPECT_EQ(defaults->integer(GlobalHotkey::modifiersKey), 6144);
  EXPECT_EQ(defaults->string(GlobalHotkey::labelKey), "⌃⌥K");
  // Without X11 (this platform is offscreen) nothing can be grabbed.
  EXPECT_FALSE(hotkey.registerHotKey(true));
  EXPECT_TRUE(hotkey.registerHotKey(false));
  hotkey.openPanel();
  EXPECT_EQ(opened, 1);
}

} // namespace
} // namespace corvane
