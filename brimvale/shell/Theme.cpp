#include "brimvale/shell/Theme.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QWidget>
#include <array>

namespace corvane {

namespace {

QColor fromRGB(QRgb value) {
  return QColor::fromRgb(qRed(value), qGreen(value), qBlue(value));
}

constexpr std::array<QRgb, 5> macFills = {0xF06464, 0x2F5BEA, 0x1F9D6B, 0xF0A23A, 0x7A4FD6};
// True where the mark on the fill is the shared near-black, false where it is white.
constexpr std::array<bool, 5> macDarkMarks = {true, false, false, true, false};
constexpr QRgb nearBlack = 0x17171C;

const std::array<Theme::DynamicColor, 5> accentColors = {{
    {0xF47C7C, 0xE04F4F}, // macRed
    {0x6B8CFF, 0x2F5BEA}, // macBlue
    {0x3CCB93, 0x1F9D6B}, // macGreen
    {0xF0A23A, 0xD98A1F}, // macAmber
    {0xA283F0, 0x7A4FD6}, // macViolet
}};

struct Families {
  bool display = false;
  bool mono = false;
};

// Registers the font files shipped among the application's resources, then looks both
// families up among every font the process can use.
Families registerFonts() {
  QDir fonts(QStringLiteral(":/fonts"), QStringLiteral("*.ttf"));
  for (const QString &file : fonts.entryList(QDir::Files))
    QFontDatabase::addApplicationFont(fonts.filePath(file));
  const QStringList available = QFontDatabase::families();
  return {available.contains(Theme::familyName(Theme::Face::display)),
          available.contains(Theme::familyName(Theme::Face::mono))};
}

const Families &families() {
  static const Families found = registerFonts();
  return found;
}

// Sizes are in points of the views, which are device-independent pixels (96 to the inch); a
// font's point is 1/72 inch. Set as a point size, a half point stays a half point.
constexpr qreal fontPointsPerPixel = 72.0 / 96.0;

void setSize(QFont &font, qreal size, QFont::Weight weight) {
  font.setPointSizeF(qMax(qreal(1), size) * fontPointsPerPixel);
  font.setWeight(weight);
}

} // namespace

QColor Theme::DynamicColor::in(Appearance appearance) const {
  return fromRGB(appearance == Appearance::dark ? dark : light);
}

Theme::Appearance Theme::appearanceOf(const QPalette &palette) {
  return palette.color(QPalette::Active, QPalette::Window).lightness() < 128 ? Appearance::dark
                                                                             : Appearance::light;
}

Theme::Appearance Theme::appearance() {
  return appearanceOf(QGuiApplication::palette());
}

namespace {

class AppearanceRelay : public QObject {
public:
  using QObject::QObject;

protected:
  bool eventFilter(QObject *watched, QEvent *event) override {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) {
      const QWidgetList widgets = QApplication::allWidgets();
      for (QWidget *widget : widgets) {
        QEvent relayed(QEvent::ApplicationPaletteChange);
        QCoreApplication::sendEvent(widget, &relayed);
      }
    }
    return false;
  }
};

} // namespace

void Theme::relayAppearanceChanges() {
  const QString name = QStringLiteral("corvaneAppearanceRelay");
  if (!qApp || qApp->findChild<QObject *>(name, Qt::FindDirectChildrenOnly))
    return;
  // Owned by the application, so it goes with it.
  auto *relay = new AppearanceRelay(qApp);
  relay->setObjectName(name);
  qApp->installEventFilter(relay);
}

const Theme::DynamicColor Theme::background{0x17161B, 0xFCF4D9};
const Theme::DynamicColor Theme::surface{0x1F1E25, 0xF7EDCB};
const Theme::DynamicColor Theme::card{0x2A2930, 0xFBF7EA};
const Theme::DynamicColor Theme::field{0x222128, 0xFFFFFF};
const Theme::DynamicColor Theme::control{0x2E2C35, 0xF0E8CF};
const Theme::DynamicColor Theme::line{0x33313A, 0xE7DCB8};
const Theme::DynamicColor Theme::lineStrong{0x46434C, 0xD4C69A};
const Theme::DynamicColor Theme::text{0xF3EEDD, 0x17171C};
const Theme::DynamicColor Theme::textMuted{0xA8A291, 0x5F5A4E};
const Theme::DynamicColor Theme::textFaint{0x6E6A60, 0x9C9378};
const Theme::DynamicColor Theme::accent{0xF2B34C, 0xA9630A};
const Theme::DynamicColor Theme::ok{0x4ADE80, 0x1F8A4C};
const Theme::DynamicColor Theme::danger{0xD93A2B, 0xB42318};
const Theme::DynamicColor Theme::ink{0xFCF4D9, 0x17171C};
const Theme::DynamicColor Theme::onInk{0x17161B, 0xFCF4D9};
const Theme::DynamicColor Theme::switchTrackOff{0x3A3842, 0xD9CDA6};
const Theme::DynamicColor Theme::switchKnobOff{0xA8A291, 0xFFFFFF};
const Theme::DynamicColor Theme::tile{0x2C2B33, 0xF4EEDC};
const Theme::DynamicColor Theme::wellStroke{0x2E2C35, 0xEADDB2};
const Theme::DynamicColor Theme::mapZone{0x2A2931, 0xF7EDCB};
const Theme::DynamicColor Theme::mapNodeFill{0x2A2930, 0xFFFFFF};
const Theme::DynamicColor Theme::mapNodeBorder{0x3A3842, 0xE7DCB8};
const Theme::DynamicColor Theme::mapPairNode{0x1F1E25, 0xFCF4D9};
const Theme::DynamicColor Theme::okDot{0x1F8A4C, 0x4ADE80};
const Theme::DynamicColor Theme::accentDot{0xA9630A, 0xF2B34C};

int Theme::paletteIndex(int index, int size) {
  return ((index % size) + size) % size;
}

Theme::MacColor Theme::macColor(int index) {
  const int entry = paletteIndex(index, static_cast<int>(macFills.size()));
  return {fromRGB(macFills[entry]), macDarkMarks[entry] ? fromRGB(nearBlack) : QColor(Qt::white)};
}

Theme::DynamicColor Theme::accentColor(int index) {
  return accentColors[paletteIndex(index, static_cast<int>(accentColors.size()))];
}

bool Theme::fontsAvailable() {
  return families().display && families().mono;
}

bool Theme::familyAvailable(Face face) {
  return face == Face::display ? families().display : families().mono;
}

QString Theme::familyName(Face face) {
  return face == Face::display ? QStringLiteral("Space Grotesk") : QStringLiteral("JetBrains Mono");
}

QFont Theme::font(Face face, qreal size, QFont::Weight weight) {
  // Both faces or neither: one of them beside the system font would mix two designs.
  QFont chosen;
  if (fontsAvailable())
    chosen = QFont(familyName(face));
  else
    chosen = QFontDatabase::systemFont(face == Face::mono ? QFontDatabase::FixedFont
                                                          : QFontDatabase::GeneralFont);
  setSize(chosen, size, weight);
  return chosen;
}

QFont Theme::system(qreal size, QFont::Weight weight) {
  QFont chosen = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  setSize(chosen, size, weight);
  return chosen;
}

} // namespace corvane
