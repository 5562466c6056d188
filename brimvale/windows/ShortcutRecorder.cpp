#include "brimvale/windows/ShortcutRecorder.h"

#include "brimvale/panels/ViewKit.h"
#include "brimvale/platform/UserDefaults.h"
#include "brimvale/windows/SettingsStyles.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPushButton>
#include <utility>

namespace corvane {

namespace {

// X11 key codes (evdev) of the printable keys on a US keyboard, by the unshifted character.
struct X11Row {
  std::uint32_t x11Keycode;
  char32_t character;
};

constexpr X11Row x11Keys[] = {
    {10, U'1'}, {11, U'2'},  {12, U'3'}, {13, U'4'}, {14, U'5'}, {15, U'6'}, {16, U'7'},
    {17, U'8'}, {18, U'9'},  {19, U'0'}, {20, U'-'}, {21, U'='}, {24, U'Q'}, {25, U'W'},
    {26, U'E'}, {27, U'R'},  {28, U'T'}, {29, U'Y'}, {30, U'U'}, {31, U'I'}, {32, U'O'},
    {33, U'P'}, {34, U'['},  {35, U']'}, {38, U'A'}, {39, U'S'}, {40, U'D'}, {41, U'F'},
    {42, U'G'}, {43, U'H'},  {44, U'J'}, {45, U'K'}, {46, U'L'}, {47, U';'}, {48, U'\''},
    {49, U'`'}, {51, U'\\'}, {52, U'Z'}, {53, U'X'}, {54, U'C'}, {55, U'V'}, {56, U'B'},
    {57, U'N'}, {58, U'M'},  {59, U','}, {60, U'.'}, {61, U'/'},
};
constexpr std::uint32_t x11Escape = 9;

const char *const idleDetail =
    "Opens Corvane from any app. The app in front loses its own use of this shortcut.";
const char *const recordingDetail = "Press the new shortcut, with Ctrl, Super or Alt. Esc cancels.";

std::string takenText(const std::string &label) {
  return "Another app already holds " + label + ". Choose a different shortcut.";
}

} // namespace

// Exists exactly while recording; the application forgets it when it goes.
class ShortcutRecorder::KeyMonitor : public QObject {
public:
  explicit KeyMonitor(ShortcutRecorder &owner) : owner_(owner) { qApp->installEventFilter(this); }
  // Stops listening at once; the object itself goes once the event in hand is through.
  static void remove(KeyMonitor *monitor) {
    qApp->removeEventFilter(monitor);
    monitor->deleteLater();
  }

  bool eventFilter(QObject *, QEvent *event) override {
    switch (event->type()) {
    case QEvent::ShortcutOverride:
    case QEvent::KeyRelease: event->accept(); return true;
    case QEvent::KeyPress: {
      // The handler may end the recording; the monitor then only goes later.
      owner_.handleRecordedKey(*static_cast<QKeyEvent *>(event));
      return true;
    }
    default: return false;
    }
  }

private:
  ShortcutRecorder &owner_;
};

ShortcutRecorder::Hotkey ShortcutRecorder::Hotkey::of(GlobalHotkey *hotkey,
                                                      UserDefaults &defaults) {
  Hotkey made;
  made.registerHotKey = [hotkey](bool enabled) {
    return hotkey ? hotkey->registerHotKey(enabled) : !enabled;
  };
  made.unavailable = [hotkey]() -> std::optional<std::string> {
    return hotkey ? GlobalHotkey::unavailableReason() : std::nullopt;
  };
  made.saveShortcut = [hotkey, &defaults](std::int64_t keyCode, std::int64_t modifiers,
                                          const std::string &label) {
    if (hotkey)
      return hotkey->saveShortcut(keyCode, modifiers, label);
    defaults.setInteger(GlobalHotkey::keyCodeKey, keyCode);
    defaults.setInteger(GlobalHotkey::modifiersKey, modifiers);
    defaults.setString(GlobalHotkey::labelKey, label);
    return !defaults.boolean(GlobalHotkey::enabledKey).value_or(true);
  };
  return made;
}

std::optional<std::uint32_t> ShortcutRecorder::keyCodeOfX11Key(std::uint32_t x11Keycode) {
  if (x11Keycode == x11Escape)
    return escapeKeyCode;
  for (const auto &row : x11Keys)
    if (row.x11Keycode == x11Keycode)
      return GlobalHotkey::keyCodeForCharacter(row.character);
  return std::nullopt;
}

bool ShortcutRecorder::isEscape(int qtKey, std::uint32_t x11Keycode) {
  return x11Keycode != 0 ? x11Keycode == x11Escape : qtKey == Qt::Key_Escape;
}

std::optional<GlobalHotkey::Shortcut>
ShortcutRecorder::recordedShortcut(int qtKey, Qt::KeyboardModifiers modifiers,
                                   std::uint32_t x11Keycode) {
  if (x11Keycode == 0)
    return GlobalHotkey::shortcutFromKey(qtKey, modifiers);
  // The key's own position gives the key code; its unshifted character is checked and
  // labelled like any other key, then the label takes the character Shift made.
  char32_t unshifted = 0;
  for (const auto &row : x11Keys)
    if (row.x11Keycode == x11Keycode)
      unshifted = row.character;
  if (unshifted == 0)
    return std::nullopt;
  auto shortcut = GlobalHotkey::shortcutFromKey(static_cast<int>(unshifted), modifiers);
  if (!shortcut)
    return std::nullopt;
  if (qtKey < 0x21 || qtKey >= 0xF700)
    return std::nullopt;
  const char32_t key = static_cast<char32_t>(qtKey);
  const auto upper = QString::fromUcs4(&key, 1).toUpper();
  const auto characters = upper.toUcs4();
  if (characters.size() != 1 || characters[0] < 0x21 || characters[0] >= 0xF700)
    return std::nullopt;
  const QString label = QString::fromStdString(shortcut->label);
  shortcut->label = (label.left(label.size() - 1) + upper).toStdString();
  return shortcut;
}

ShortcutRecorder::ShortcutRecorder(UserDefaults &defaults, Hotkey hotkey, QWidget *parent)
    : QWidget(parent), defaults_(defaults), hotkey_(std::move(hotkey)) {
  setObjectName(QStringLiteral("shortcutRecorder"));
  auto *row = panelkit::row(this, 16, QMargins(16, 10, 16, 10));
  button_ = new QPushButton;
  button_->setObjectName(QStringLiteral("shortcutButton"));
  buttonStyle_ =
      ChipButtonStyle::apply(button_, settingsColor::chipFill, settingsColor::ink, /*mono=*/true);
  connect(button_, &QPushButton::clicked, this, [this] { toggleRecording(); });
  switch_ = new QCheckBox;
  switch_->setObjectName(QStringLiteral("shortcutSwitch"));
  switch_->setChecked(shortcutOn());
  InkSwitchStyle::apply(switch_, QStringLiteral("Keyboard shortcut"));
  // Only a change by the user (or code) after the first display reaches the handler.
  connect(switch_, &QCheckBox::toggled, this, [this](bool on) {
    defaults_.setBool(GlobalHotkey::enabledKey, on);
    shortcutSwitchChanged(on);
  });
  row->addStretch(); // replaced by the label in rebuild
  row->addWidget(button_);
  row->addWidget(switch_);
  rebuild();
}

ShortcutRecorder::~ShortcutRecorder() {
  // Going mid-recording: the monitor goes with the row and the stored shortcut works again.
  if (!recording_)
    return;
  KeyMonitor::remove(std::exchange(keyMonitor_, nullptr));
  if (hotkey_.registerHotKey)
    hotkey_.registerHotKey(shortcutOn());
}

bool ShortcutRecorder::shortcutOn() const {
  return defaults_.boolean(GlobalHotkey::enabledKey).value_or(true);
}

std::string ShortcutRecorder::shortcutLabel() const {
  return GlobalHotkey::shownLabel(defaults_);
}

std::string ShortcutRecorder::refusedText(const std::string &label) const {
  if (hotkey_.unavailable)
    if (auto reason = hotkey_.unavailable())
      return *reason;
  return takenText(label);
}

void ShortcutRecorder::rebuild() {
  auto *row = static_cast<QHBoxLayout *>(layout());
  QWidget *label = settingRowLabel(
      QStringLiteral("Keyboard shortcut"),
      QString::fromUtf8(recording_ ? recordingDetail : idleDetail),
      shortcutError_ ? std::optional(QString::fromStdString(*shortcutError_)) : std::nullopt);
  if (label_) {
    delete row->replaceWidget(label_, label); // the old item is ours
    label_->hide();
    label_->deleteLater();
  } else {
    delete row->takeAt(0);
    row->insertWidget(0, label, 1);
  }
  label_ = label;
  const QString shown = QString::fromStdString(shortcutLabel());
  button_->setText(recording_ ? QStringLiteral("Press keys…") : shown);
  buttonStyle_->setMono(button_, !recording_);
  button_->setAccessibleName(recording_ ? QStringLiteral("Cancel changing the shortcut")
                                        : QStringLiteral("Change shortcut, currently ") + shown);
  button_->setEnabled(shortcutOn());
  const QSignalBlocker quiet(switch_);
  switch_->setChecked(shortcutOn());
}

void ShortcutRecorder::toggleRecording() {
  if (recording_)
    cancelRecording();
  else
    startRecordingShortcut();
}

void ShortcutRecorder::startRecordingShortcut() {
  if (recording_ || !shortcutOn())
    return;
  // Let go of the hot key, so that pressing it now records it instead of opening the panel.
  if (hotkey_.registerHotKey)
    hotkey_.registerHotKey(false);
  shortcutError_.reset();
  recording_ = true;
  keyMonitor_ = new KeyMonitor(*this);
  rebuild();
}

void ShortcutRecorder::stopRecordingShortcut() {
  if (keyMonitor_)
    KeyMonitor::remove(std::exchange(keyMonitor_, nullptr));
  recording_ = false;
  rebuild();
}

void ShortcutRecorder::cancelRecording() {
  if (!recording_)
    return;
  stopRecordingShortcut();
  if (hotkey_.registerHotKey)
    hotkey_.registerHotKey(shortcutOn());
}

void ShortcutRecorder::handleRecordedKey(const QKeyEvent &event) {
  if (!recording_)
    return;
  const auto x11Keycode = static_cast<std::uint32_t>(event.nativeScanCode());
  if (isEscape(event.key(), x11Keycode)) {
    cancelRecording();
    return;
  }
  const auto shortcut = recordedShortcut(event.key(), event.modifiers(), x11Keycode);
  if (!shortcut)
    return; // recording goes on
  // Stored even when the system then refuses it.
  const bool registered =
      hotkey_.saveShortcut &&
      hotkey_.saveShortcut(shortcut->keyCode, shortcut->modifiers, shortcut->label);
  shortcutError_ = registered ? std::nullopt : std::optional(refusedText(shortcut->label));
  stopRecordingShortcut();
}

void ShortcutRecorder::shortcutSwitchChanged(bool on) {
  cancelRecording();
  const bool registered = hotkey_.registerHotKey && hotkey_.registerHotKey(on);
  shortcutError_ = registered ? std::nullopt : std::optional(refusedText(shortcutLabel()));
  rebuild();
}

void ShortcutRecorder::hideEvent(QHideEvent *event) {
  // Closing the window mid-recording leaves the previous shortcut working. The row is
  // redrawn later: the window may be on its way out.
  if (recording_) {
    KeyMonitor::remove(std::exchange(keyMonitor_, nullptr));
    recording_ = false;
    if (hotkey_.registerHotKey)
      hotkey_.registerHotKey(shortcutOn());
    QMetaObject::invokeMethod(
        this, [this] { rebuild(); }, Qt::QueuedConnection);
  }
  QWidget::hideEvent(event);
}

} // namespace corvane
