// The settings' shared styles, the window's general and panel sections, and the recorder of
// the global shortcut, over a real manager.
#include "brimvale/shell/WindowRegistry.h"
#include "brimvale/windows/AppWindows.h"
#include "tests/windows/SettingsFixture.h"

#include <QApplication>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScrollArea>
#include <QVariantAnimation>
#include <gtest/gtest.h>

namespace corvane::testing {
namespace {

// Styles.

TEST(SettingsStylesTest, OnlyTheRedChipGoesWithoutABorder) {
  EXPECT_FALSE(ChipButtonStyle::hasBorder(settingsColor::red));
  EXPECT_TRUE(ChipButtonStyle::hasBorder(std::nullopt));
  EXPECT_TRUE(ChipButtonStyle::hasBorder(settingsColor::chipFill));
  // The mono label is tracked by a point, whichever face it gets.
  const QFont mono = ChipButtonStyle::labelFont(true);
  EXPECT_EQ(mono.letterSpacing(), 1);
  EXPECT_EQ(QFontInfo(mono).pixelSize(), 13);
  // 12.5 points stays 12.5 (a point of the views is a pixel, a font's point 3/4 of one).
  EXPECT_DOUBLE_EQ(ChipButtonStyle::labelFont(false).pointSizeF() * 4 / 3, 12.5);
}

TEST(SettingsStylesTest, APressedChipIsDrawnFaded) {
  QPushButton chip(QStringLiteral("Copy"));
  ChipButtonStyle::apply(&chip, settingsColor::red, settingsColor::white, false);
  chip.resize(chip.sizeHint());
  EXPECT_EQ(chip.height(), 44);
  const QColor released = chip.grab().toImage().pixelColor(4, 22);
  chip.setDown(true);
  const QColor pressed = chip.grab().toImage().pixelColor(4, 22);
  EXPECT_NE(released, pressed);
  chip.setDown(false);
  EXPECT_EQ(chip.grab().toImage().pixelColor(4, 22), released);
}

TEST(SettingsStylesTest, TheSwitchTakesClicksOverItsWholeFrameAndSlidesOnEveryChange) {
  QCheckBox toggle;
  InkSwitchStyle::apply(&toggle, QStringLiteral("Launch at login"));
  EXPECT_EQ(toggle.size(), QSize(46, 44));
  EXPECT_EQ(toggle.accessibleName(), "Launch at login");
  EXPECT_TRUE(toggle.text().isEmpty());
  // 8 points above the track (which starts 8 points down the frame).
  QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(23, 2));
  EXPECT_TRUE(toggle.isChecked());
  auto *slide = toggle.findChild<QVariantAnimation *>();
  ASSERT_NE(slide, nullptr);
  EXPECT_EQ(slide->state(), QAbstractAnimation::Running);
  slide->setCurrentTime(InkSwitchStyle::animationMs);
  EXPECT_DOUBLE_EQ(InkSwitchStyle::knobPosition(toggle), 1.0);
  // Set by code, it slides too.
  toggle.setChecked(false);
  EXPECT_EQ(slide->state(), QAbstractAnimation::Running);
  slide->setCurrentTime(InkSwitchStyle::animationMs / 2);
  const qreal halfway = InkSwitchStyle::knobPosition(toggle);
  EXPECT_GT(halfway, 0.0);
  EXPECT_LT(halfway, 1.0);
}

TEST(SettingsStylesTest, RowLabelsCarryAWarningOnlyWhenGiven) {
  std::unique_ptr<QWidget> plain(settingRowLabel("Title", "Detail", std::nullopt));
  EXPECT_EQ(plain->findChildren<QLabel *>().size(), 2);
  std::unique_ptr<QWidget> warned(settingRowLabel("Title", "Detail", QString("Careful")));
  EXPECT_EQ(warned->findChildren<QLabel *>().size(), 3);
  EXPECT_EQ(warned->findChild<QLabel *>("rowWarning")->text(), "Careful");
}

TEST(SettingsStylesTest, TheMapThumbnailPlacesItsMacsFromTheMiddle) {
  EXPECT_EQ(MapThumbnail::thisMacCentre(200), QPointF(100, 50));
  EXPECT_EQ(MapThumbnail::macACentre(200), QPointF(42, 26));
  EXPECT_EQ(MapThumbnail::macBCentre(200), QPointF(164, 30));
  // Drawn: this Mac's dot in ink at its centre, whatever the height.
  MapThumbnail thumbnail;
  thumbnail.resize(200, 84);
  const QImage image = thumbnail.grab().toImage();
  EXPECT_EQ(image.pixelColor(100, 50).rgb(), settingsColor::ink.resolved().rgb());
  EXPECT_EQ(image.pixelColor(42, 26).rgb(), Theme::macColor(0).fill.rgb());
}

// General and panel sections.

class GeneralSectionTest : public SettingsTest {};

TEST_F(GeneralSectionTest, PanelStyleTilesStoreExactlyMapOrClassic) {
  defaults->setString("panelStyle", "sideways");
  open();
  auto *map = find<QAbstractButton>("mapTile");
  auto *classic = find<QAbstractButton>("classicTile");
  ASSERT_TRUE(map && classic);
  EXPECT_TRUE(map->isChecked());
  EXPECT_FALSE(classic->isChecked());
  EXPECT_EQ(map->accessibleName(), "Nearby map, Macs around you, live");
  click(classic);
  EXPECT_EQ(defaults->string("panelStyle"), "classic");
  EXPECT_TRUE(find<QAbstractButton>("classicTile")->isChecked());
  EXPECT_FALSE(find<QAbstractButton>("mapTile")->isChecked());
  click(find<QAbstractButton>("mapTile"));
  EXPECT_EQ(defaults->string("panelStyle"), "map");
}

TEST_F(GeneralSectionTest, ARefusedLaunchAtLoginChangeKeepsItsErrorAndShowsTheRealState) {
  loginRefuses = true;
  open();
  auto *toggle = find<QCheckBox>("launchAtLogin");
  ASSERT_NE(toggle, nullptr);
  EXPECT_FALSE(toggle->isChecked());
  EXPECT_TRUE(loginRequests.empty()); // nothing runs on the first display
  click(toggle);
  // One request only: putting the switch back is no second change.
  EXPECT_EQ(loginRequests, std::vector<bool>{true});
  EXPECT_FALSE(find<QCheckBox>("launchAtLogin")->isChecked());
  EXPECT_EQ(texts(*find("launchAtLoginRow"), "rowWarning"),
            QStringList{QString::fromUtf8(launchAtLoginFailureText)});

  loginRefuses = false;
  click(find<QCheckBox>("launchAtLogin"));
  EXPECT_EQ(loginRequests, (std::vector<bool>{true, true}));
  EXPECT_TRUE(find<QCheckBox>("launchAtLogin")->isChecked());
  EXPECT_TRUE(texts(*find("launchAtLoginRow"), "rowWarning").isEmpty());
}

TEST_F(GeneralSectionTest, TheUpdateRowsFollowTheChecker) {
  makeUpdates();
  open();
  ASSERT_NE(find("checkForUpdatesRow"), nullptr);
  EXPECT_EQ(textOf("updateStatus"), "Not checked yet.");
  click(find<QPushButton>("checkNow"));
  EXPECT_EQ(textOf("updateStatus"), "Checking…");
  EXPECT_FALSE(find<QPushButton>("checkNow")->isEnabled());
  ASSERT_TRUE(pendingFetch);
  std::exchange(pendingFetch, {})(std::unexpected(HttpError{HttpError::Kind::timedOut, "late"}));
  settle();
  EXPECT_EQ(textOf("updateStatus"), "Couldn't reach updates.corvane.app.");

  click(find<QPushButton>("checkNow"));
  std::exchange(pendingFetch, {})(HttpResponse{200, R"({"version":"1.2.3","build":10,"url":"x"})"});
  settle();
  EXPECT_EQ(textOf("updateStatus"),
            QString::fromStdString("Corvane " + appVersionString() + " is the latest version."));

  // Off: the status row goes, the switch row stays.
  click(find<QCheckBox>("checkForUpdates"));
  EXPECT_EQ(defaults->boolean("checkForUpdates"), false);
  EXPECT_EQ(find("updateStatusRow"), nullptr);
  EXPECT_NE(find("checkForUpdatesRow"), nullptr);
}

TEST_F(GeneralSectionTest, AnOfferedReleaseShowsOnlyItsLineAndDownload) {
  makeUpdates();
  updates->available.set(AppRelease{"2.0", 20, "https://updates.corvane.app/c.deb"});
  updates->checking.set(true);
  opener.handlers["https"] = "browser";
  open();
  EXPECT_EQ(textOf("updateStatus"), "Corvane 2.0 is available.");
  EXPECT_EQ(find<QPushButton>("checkNow"), nullptr);
  click(find<QPushButton>("download"));
  EXPECT_EQ(opener.opened, std::vector<std::string>{"https://updates.corvane.app/c.deb"});
}

TEST_F(GeneralSectionTest, TheLocationWarningFollowsTheWifiNameSwitch) {
  permission = NetworkName::Permission::denied;
  open();
  EXPECT_TRUE(texts(*find("showNetworkNameRow"), "rowWarning").isEmpty());
  click(find<QCheckBox>("showNetworkName"));
  EXPECT_EQ(defaults->boolean("showNetworkName"), true);
  EXPECT_EQ(texts(*find("showNetworkNameRow"), "rowWarning"),
            QStringList{SettingsView::networkDeniedText});
  click(find<QCheckBox>("showNetworkName"));
  EXPECT_EQ(defaults->boolean("showNetworkName"), false);
  EXPECT_TRUE(texts(*find("showNetworkNameRow"), "rowWarning").isEmpty());
}

TEST_F(GeneralSectionTest, TheClosingNoteCarriesTheVersionEvenWhenEmpty) {
  auto made = services();
  made.version = "";
  view = std::make_unique<SettingsView>(made);
  EXPECT_TRUE(view->findChild<QLabel *>("closingNote")->text().startsWith("Corvane  works on"));
  // Scrolling: a fixed 600 by 720 frame.
  made.scrolls = true;
  SettingsView scrolling(made);
  ASSERT_NE(scrolling.scrollArea(), nullptr);
  EXPECT_EQ(scrolling.scrollArea()->size(), QSize(600, 720));
}

TEST_F(GeneralSectionTest, TheApplicationOpensSettingsByItsId) {
  WindowRegistry registry;
  WindowContext context;
  context.manager = manager.get();
  context.opener = &opener;
  QStringList asked;
  context.openWindow = [&asked](const QString &id) { asked << id; };
  addAppWindows(registry, context);
  ASSERT_TRUE(registry.open("settings"));
  auto *settings = registry.window("settings")->findChild<SettingsView *>();
  if (!settings)
    settings = qobject_cast<SettingsView *>(registry.window("settings"));
  ASSERT_NE(settings, nullptr);
  settings->findChild<QPushButton *>("pairMac")->click();
  EXPECT_EQ(asked, QStringList{"pairing"});
}

// The recorder.

QKeyEvent press(int key, Qt::KeyboardModifiers modifiers, quint32 x11 = 0) {
  const QString text = key < 0x80 ? QString(QChar(key)).toLower() : QString();
  return QKeyEvent(QEvent::KeyPress, key, modifiers, x11, 0, 0, text);
}

TEST(ShortcutRecorderKeysTest, KeysAreStoredByTheirPositionAndLabelledAsTyped) {
  const auto ctrlShift = Qt::ControlModifier | Qt::ShiftModifier;
  EXPECT_EQ(ShortcutRecorder::recordedShortcut(Qt::Key_D, ctrlShift, 40),
            (GlobalHotkey::Shortcut{2, 768, "Ctrl+Shift+D"}));
  EXPECT_EQ(ShortcutRecorder::recordedShortcut(Qt::Key_K,
                                               Qt::MetaModifier | Qt::AltModifier | ctrlShift, 45),
            (GlobalHotkey::Shortcut{40, 6912, "Ctrl+Alt+Shift+Super+K"}));
  // Option and shift with the 1 key: the code of 1, the character Shift gives.
  EXPECT_EQ(
      ShortcutRecorder::recordedShortcut(Qt::Key_Exclam, Qt::AltModifier | Qt::ShiftModifier, 10),
      (GlobalHotkey::Shortcut{18, 2560, "Alt+Shift+!"}));
  // Refused: shift alone, no modifier, space, tab, an arrow.
  EXPECT_EQ(ShortcutRecorder::recordedShortcut(Qt::Key_A, Qt::ShiftModifier, 38), std::nullopt);
  EXPECT_EQ(ShortcutRecorder::recordedShortcut(Qt::Key_A, {}, 38), std::nullopt);
  EXPECT_EQ(ShortcutRecorder::recordedShortcut(Qt::Key_Space, Qt::ControlModifier, 65),
            std::nullopt);
  EXPECT_EQ(ShortcutRecorder::recordedShortcut(Qt::Key_Tab, Qt::ControlModifier, 23), std::nullopt);
  EXPECT_EQ(ShortcutRecorder::recordedShortcut(Qt::Key_Left, Qt::ControlModifier, 113),
            std::nullopt);
  // Without an X11 key code the character decides.
  EXPECT_EQ(ShortcutRecorder::recordedShortcut(Qt::Key_D, ctrlShift, 0),
            (GlobalHotkey::Shortcut{2, 768, "Ctrl+Shift+D"}));
  EXPECT_EQ(ShortcutRecorder::keyCodeOfX11Key(9), 53u);
  EXPECT_TRUE(ShortcutRecorder::isEscape(Qt::Key_Escape, 0));
  EXPECT_TRUE(ShortcutRecorder::isEscape(0, 9));
}

class ShortcutRecorderTest : public SettingsTest {
protected:
  // A line edit elsewhere in the application; it hears keys only while no recording runs.
  bool reachesOtherWidget(int key = Qt::Key_Q) {
    QLineEdit other;
    other.show();
    QKeyEvent event = press(key, {});
    QApplication::sendEvent(&other, &event);
    return other.text() == QString(QChar(key)).toLower();
  }
};

TEST_F(ShortcutRecorderTest, EscapeRestoresThePreviousShortcutAndRemovesTheMonitor) {
  open();
  ShortcutRecorder &recorder = *view->recorder();
  EXPECT_EQ(recorder.shortcutButton()->text(), "Ctrl+Shift+D");
  EXPECT_EQ(recorder.shortcutButton()->accessibleName(), "Change shortcut, currently Ctrl+Shift+D");
  EXPECT_TRUE(reachesOtherWidget());
  click(recorder.shortcutButton());
  EXPECT_TRUE(recorder.recording());
  EXPECT_TRUE(recorder.hasKeyMonitor());
  EXPECT_EQ(registrations, std::vector<bool>{false}); // the old combination reaches the recorder
  EXPECT_EQ(recorder.shortcutButton()->text(), "Press keys…");
  EXPECT_FALSE(reachesOtherWidget()); // consumed, also a plain letter
  EXPECT_TRUE(recorder.recording());

  QKeyEvent escape = press(Qt::Key_Escape, {}, 9);
  QApplication::sendEvent(view.get(), &escape);
  settle();
  EXPECT_FALSE(recorder.recording());
  EXPECT_FALSE(recorder.hasKeyMonitor());
  EXPECT_EQ(registrations, (std::vector<bool>{false, true}));
  EXPECT_EQ(recorder.shortcutButton()->text(), "Ctrl+Shift+D");
  EXPECT_TRUE(saved.empty());
  EXPECT_TRUE(reachesOtherWidget());
}

TEST_F(ShortcutRecorderTest, AnAcceptedKeyIsStoredAndARefusedOneSaysWho) {
  open();
  ShortcutRecorder &recorder = *view->recorder();
  click(recorder.shortcutButton());
  // Ignored: recording goes on.
  QKeyEvent shiftA = press(Qt::Key_A, Qt::ShiftModifier, 38);
  QApplication::sendEvent(view.get(), &shiftA);
  EXPECT_TRUE(recorder.recording());
  QKeyEvent ctrlK = press(Qt::Key_K, Qt::ControlModifier | Qt::AltModifier, 45);
  QApplication::sendEvent(view.get(), &ctrlK);
  settle();
  EXPECT_FALSE(recorder.recording());
  EXPECT_FALSE(recorder.hasKeyMonitor());
  EXPECT_EQ(saved, (std::vector<GlobalHotkey::Shortcut>{{40, 2304, "Ctrl+Alt+K"}}));
  EXPECT_EQ(recorder.shortcutButton()->text(), "Ctrl+Alt+K");
  EXPECT_EQ(recorder.shortcutError(), std::nullopt);

  hotkeyAccepts = false;
  click(recorder.shortcutButton());
  QKeyEvent ctrlJ = press(Qt::Key_J, Qt::ControlModifier, 44);
  QApplication::sendEvent(view.get(), &ctrlJ);
  settle();
  // Stored anyway; the row says who holds it.
  EXPECT_EQ(defaults->string(GlobalHotkey::labelKey), "Ctrl+J");
  EXPECT_EQ(texts(recorder, "rowWarning"),
            QStringList{"Another app already holds Ctrl+J. Choose a different shortcut."});
  // The next recording clears the message.
  click(recorder.shortcutButton());
  EXPECT_TRUE(texts(recorder, "rowWarning").isEmpty());
}

TEST_F(ShortcutRecorderTest, HidingOrClosingMidRecordingRestoresTheShortcut) {
  open();
  click(view->recorder()->shortcutButton());
  view->hide();
  EXPECT_FALSE(view->recorder()->recording());
  EXPECT_FALSE(view->recorder()->hasKeyMonitor());
  EXPECT_EQ(registrations, (std::vector<bool>{false, true}));
  EXPECT_TRUE(reachesOtherWidget());

  view->show();
  settle();
  click(view->recorder()->shortcutButton());
  view.reset();
  settle();
  EXPECT_TRUE(reachesOtherWidget());
}

TEST_F(ShortcutRecorderTest, TheSwitchCancelsARecordingAndDisablesTheButton) {
  open();
  ShortcutRecorder &recorder = *view->recorder();
  click(recorder.shortcutButton());
  click(recorder.shortcutSwitch());
  EXPECT_FALSE(recorder.recording());
  EXPECT_EQ(defaults->boolean(GlobalHotkey::enabledKey), false);
  // Cancelled (registering the stored switch, now off), then the switch's own request: off.
  EXPECT_EQ(registrations.back(), false);
  EXPECT_FALSE(recorder.shortcutButton()->isEnabled());
  click(recorder.shortcutButton());
  EXPECT_FALSE(recorder.recording());

  // On again, but the combination is taken.
  hotkeyAccepts = false;
  click(recorder.shortcutSwitch());
  EXPECT_TRUE(recorder.shortcutSwitch()->isChecked());
  EXPECT_EQ(texts(recorder, "rowWarning"),
            QStringList{"Another app already holds Ctrl+Shift+D. Choose a different shortcut."});
  click(recorder.shortcutSwitch());
  EXPECT_TRUE(texts(recorder, "rowWarning").isEmpty());
}

TEST_F(ShortcutRecorderTest, InAWaylandSessionTheRowSaysSoInsteadOfBlamingAnotherApp) {
  hotkeyAccepts = false;
  hotkeyUnavailable = "Global shortcuts are not available in a Wayland session.";
  open();
  ShortcutRecorder &recorder = *view->recorder();
  click(recorder.shortcutSwitch());
  click(recorder.shortcutSwitch());
  EXPECT_EQ(texts(recorder, "rowWarning"),
            QStringList{"Global shortcuts are not available in a Wayland session."});
  // The idle detail names the keys as this desktop does, and so does the recording's.
  click(recorder.shortcutButton());
  EXPECT_TRUE(texts(recorder, "rowDetail")
                  .contains("Press the new shortcut, with Ctrl, Super or Alt. Esc cancels."));
}

} // namespace
} // namespace corvane::testing
