#include "brimvale/shell/GlobalHotkey.h"

#include "brimvale/platform/Logger.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMetaObject>
#include <xcb/xcb.h>

namespace corvane {

namespace {

// The stored key codes of the printable keys (a US layout's positions) and the X11 symbol of
// each key's unshifted character.
struct KeyRow {
  std::uint32_t keyCode;
  char32_t character; // upper-cased
  std::uint32_t keysym;
};

constexpr KeyRow keyTable[] = {
    {0, U'A', 'a'},    {1, U'S', 's'},  {2, U'D', 'd'},    {3, U'F', 'f'},  {4, U'H', 'h'},
    {5, U'G', 'g'},    {6, U'Z', 'z'},  {7, U'X', 'x'},    {8, U'C', 'c'},  {9, U'V', 'v'},
    {11, U'B', 'b'},   {12, U'Q', 'q'}, {13, U'W', 'w'},   {14, U'E', 'e'}, {15, U'R', 'r'},
    {16, U'Y', 'y'},   {17, U'T', 't'}, {18, U'1', '1'},   {19, U'2', '2'}, {20, U'3', '3'},
    {21, U'4', '4'},   {22, U'6', '6'}, {23, U'5', '5'},   {24, U'=', '='}, {25, U'9', '9'},
    {26, U'7', '7'},   {27, U'-', '-'}, {28, U'8', '8'},   {29, U'0', '0'}, {30, U']', ']'},
    {31, U'O', 'o'},   {32, U'U', 'u'}, {33, U'[', '['},   {34, U'I', 'i'}, {35, U'P', 'p'},
    {37, U'L', 'l'},   {38, U'J', 'j'}, {39, U'\'', '\''}, {40, U'K', 'k'}, {41, U';', ';'},
    {42, U'\\', '\\'}, {43, U',', ','}, {44, U'/', '/'},   {45, U'N', 'n'}, {46, U'M', 'm'},
    {47, U'.', '.'},   {50, U'`', '`'},
};

constexpr std::uint16_t heldModifiers = GlobalHotkey::x11Shift | GlobalHotkey::x11Control |
                                        GlobalHotkey::x11Alt | GlobalHotkey::x11Super;

xcb_connection_t *x11Connection() {
  if (QGuiApplication::platformName() != QLatin1String("xcb"))
    return nullptr;
  auto *app = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return app ? app->connection() : nullptr;
}

// The first key code whose unshifted symbol is `keysym`; 0 when the keyboard has none.
xcb_keycode_t keycodeFor(xcb_connection_t *connection, std::uint32_t keysym) {
  const xcb_setup_t *setup = xcb_get_setup(connection);
  const int count = setup->max_keycode - setup->min_keycode + 1;
  auto cookie = xcb_get_keyboard_mapping(connection, setup->min_keycode, count);
  xcb_get_keyboard_mapping_reply_t *reply =
      xcb_get_keyboard_mapping_reply(connection, cookie, nullptr);
  if (!reply)
    return 0;
  const xcb_keysym_t *symbols = xcb_get_keyboard_mapping_keysyms(reply);
  const int perCode = reply->keysyms_per_keycode;
  const int total = xcb_get_keyboard_mapping_keysyms_length(reply);
  xcb_keycode_t found = 0;
  for (int level = 0; level < std::min(perCode, 2) && !found; ++level)
    for (int i = 0; i < count && !found; ++i) {
      const int index = i * perCode + level;
      if (index < total && symbols[index] == keysym)
        found = static_cast<xcb_keycode_t>(setup->min_keycode + i);
    }
  std::free(reply);
  return found;
}

xcb_window_t rootWindow(xcb_connection_t *connection) {
  const auto screen = xcb_setup_roots_iterator(xcb_get_setup(connection));
  return screen.rem > 0 ? screen.data->root : 0;
}

// The grab must hold whether Caps Lock or Num Lock is on.
constexpr std::uint16_t lockVariants[] = {0, GlobalHotkey::x11Lock, GlobalHotkey::x11NumLock,
                                          GlobalHotkey::x11Lock | GlobalHotkey::x11NumLock};

} // namespace

std::optional<GlobalHotkey::X11Key> GlobalHotkey::x11Key(std::int64_t keyCode,
                                                         std::int64_t modifiers) {
  if (keyCode < 0 || keyCode > 0xffffffffLL || modifiers < 0)
    return std::nullopt;
  constexpr std::int64_t known = commandBit | shiftBit | optionBit | controlBit;
  if ((modifiers & ~known) != 0 || (modifiers & (commandBit | optionBit | controlBit)) == 0)
    return std::nullopt;
  for (const auto &row : keyTable) {
    if (row.keyCode != keyCode)
      continue;
    X11Key key{row.keysym, 0};
    if (modifiers & commandBit)
      key.mask |= x11Control;
    if (modifiers & controlBit)
      key.mask |= x11Super;
    if (modifiers & optionBit)
      key.mask |= x11Alt;
    if (modifiers & shiftBit)
      key.mask |= x11Shift;
    return key;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> GlobalHotkey::keyCodeForCharacter(char32_t character) {
  for (const auto &row : keyTable)
    if (row.character == character)
      return row.keyCode;
  return std::nullopt;
}

std::string GlobalHotkey::modifierText(std::uint32_t modifiers) {
  // In the order this desktop's toolkit names them; command is Ctrl here and control is Super.
  std::string text;
  if (modifiers & commandBit)
    text += "Ctrl+";
  if (modifiers & optionBit)
    text += "Alt+";
  if (modifiers & shiftBit)
    text += "Shift+";
  if (modifiers & controlBit)
    text += "Super+";
  return text;
}

std::string GlobalHotkey::shownLabel(UserDefaults &defaults) {
  const std::string stored = defaults.string(labelKey).value_or(defaultLabel);
  const QString signs = QStringLiteral("⌃⌥⇧⌘");
  const QString label = QString::fromStdString(stored);
  qsizetype leading = 0;
  while (leading < label.size() && signs.contains(label[leading]))
    ++leading;
  if (leading == 0)
    return stored;
  const auto modifiers = defaults.integer(modifiersKey).value_or(defaultModifiers);
  return modifierText(static_cast<std::uint32_t>(modifiers)) + label.mid(leading).toStdString();
}

std::optional<std::string> GlobalHotkey::unavailableReason() {
  if (x11Connection())
    return std::nullopt;
  const bool wayland = QGuiApplication::platformName().startsWith(QLatin1String("wayland")) ||
                       qgetenv("XDG_SESSION_TYPE") == "wayland" ||
                       !qgetenv("WAYLAND_DISPLAY").isEmpty();
  return std::string(wayland ? waylandText : noX11Text);
}

std::optional<GlobalHotkey::Shortcut> GlobalHotkey::shortcutFromEvent(const QKeyEvent &event) {
  return shortcutFromKey(event.key(), event.modifiers());
}

std::optional<GlobalHotkey::Shortcut> GlobalHotkey::shortcutFromKey(int qtKey,
                                                                    Qt::KeyboardModifiers held) {
  // Ctrl is command, Super (Qt's Meta) is control, Alt is option.
  const bool command = held.testFlag(Qt::ControlModifier);
  const bool control = held.testFlag(Qt::MetaModifier);
  const bool option = held.testFlag(Qt::AltModifier);
  const bool shift = held.testFlag(Qt::ShiftModifier);
  if (!command && !control && !option)
    return std::nullopt;
  // Qt names a printable key by its upper-cased character; function keys lie far above.
  if (qtKey < 0x21 || qtKey >= 0xF700)
    return std::nullopt;
  const char32_t key = static_cast<char32_t>(qtKey);
  const QString text = QString::fromUcs4(&key, 1).toUpper();
  const auto characters = text.toUcs4();
  if (characters.size() != 1 || characters[0] < 0x21 || characters[0] >= 0xF700)
    return std::nullopt;
  // Only keys with a stored key code can be grabbed again later.
  const auto keyCode = keyCodeForCharacter(characters[0]);
  if (!keyCode)
    return std::nullopt;

  std::uint32_t mask = 0;
  if (control)
    mask |= controlBit;
  if (option)
    mask |= optionBit;
  if (shift)
    mask |= shiftBit;
  if (command)
    mask |= commandBit;
  const QString prefix = QString::fromStdString(modifierText(mask));
  return Shortcut{*keyCode, mask, (prefix + text).toStdString()};
}

GlobalHotkey::GlobalHotkey(UserDefaults &defaults, std::function<void()> openPanel)
    : defaults_(defaults), openPanel_(std::move(openPanel)), context_(std::make_unique<QObject>()) {
}

GlobalHotkey::~GlobalHotkey() {
  ungrab();
  if (filterInstalled_ && QCoreApplication::instance())
    QCoreApplication::instance()->removeNativeEventFilter(this);
}

void GlobalHotkey::ungrab() {
  if (keycode_ == 0)
    return;
  if (auto *connection = x11Connection()) {
    const xcb_window_t root = rootWindow(connection);
    for (const auto extra : lockVariants)
      xcb_ungrab_key(connection, keycode_, root, mask_ | extra);
    xcb_flush(connection);
  }
  keycode_ = 0;
  mask_ = 0;
}

bool GlobalHotkey::registerHotKey(bool enabled) {
  ungrab();
  if (!enabled)
    return true;
  auto *connection = x11Connection();
  if (!connection) {
    Logger::app().notice("The global shortcut needs an X11 session; none here");
    return false;
  }
  if (!filterInstalled_) {
    QCoreApplication::instance()->installNativeEventFilter(this);
    filterInstalled_ = true;
  }
  const auto key = x11Key(defaults_.integer(keyCodeKey).value_or(defaultKeyCode),
                          defaults_.integer(modifiersKey).value_or(defaultModifiers));
  if (!key)
    return false;
  const xcb_keycode_t keycode = keycodeFor(connection, key->keysym);
  const xcb_window_t root = rootWindow(connection);
  if (keycode == 0 || root == 0)
    return false;

  std::vector<xcb_void_cookie_t> cookies;
  for (const auto extra : lockVariants)
    cookies.push_back(xcb_grab_key_checked(connection, 1, root, key->mask | extra, keycode,
                                           XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
  bool refused = false;
  for (const auto cookie : cookies)
    if (xcb_generic_error_t *error = xcb_request_check(connection, cookie)) {
      refused = true;
      std::free(error);
    }
  keycode_ = keycode;
  mask_ = key->mask;
  if (refused) {
    // Another application holds the combination: keep none of it.
    ungrab();
    return false;
  }
  return true;
}

void GlobalHotkey::openPanel() {
  if (openPanel_)
    openPanel_();
}

bool GlobalHotkey::saveShortcut(std::int64_t keyCode, std::int64_t modifiers,
                                const std::string &label) {
  defaults_.setInteger(keyCodeKey, keyCode);
  defaults_.setInteger(modifiersKey, modifiers);
  defaults_.setString(labelKey, label);
  return registerHotKey(defaults_.boolean(enabledKey).value_or(true));
}

bool GlobalHotkey::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) {
  if (keycode_ == 0 || eventType != "xcb_generic_event_t")
    return false;
  const auto *event = static_cast<const xcb_generic_event_t *>(message);
  if ((event->response_type & 0x7f) != XCB_KEY_PRESS)
    return false;
  const auto *press = reinterpret_cast<const xcb_key_press_event_t *>(event);
  if (press->detail != keycode_ || (press->state & heldModifiers) != mask_)
    return false;
  // Opened outside the event filter, and never after the hot key is gone.
  QMetaObject::invokeMethod(
      context_.get(), [this] { openPanel(); }, Qt::QueuedConnection);
  return true;
}

} // namespace corvane
