#include "brimvale/windows/ActivitySection.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/shell/ElidingLabel.h"
#include "brimvale/windows/SettingsStyles.h"
#include "brimvale/windows/SettingsWatch.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>
#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/timezone.h>

namespace corvane {

namespace {

// Seconds from 1970 to 2001, the reference date of the stored dates.
constexpr double referenceOffset = 978307200;

UDate udate(Date date) {
  return (date + referenceOffset) * 1000.0;
}

class Formatting {
public:
  explicit Formatting(const AccessLogDates &dates)
      : locale_(dates.locale.empty() ? icu::Locale::getDefault()
                                     : icu::Locale::createCanonical(dates.locale.c_str())),
        zone_(dates.timeZone.empty()
                  ? icu::TimeZone::createDefault()
                  : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(dates.timeZone))) {}

  std::string format(Date date, icu::DateFormat::EStyle dateStyle,
                     icu::DateFormat::EStyle timeStyle) const {
    std::unique_ptr<icu::DateFormat> formatter(
        icu::DateFormat::createDateTimeInstance(dateStyle, timeStyle, locale_));
    if (!formatter)
      return {};
    formatter->setTimeZone(*zone_);
    icu::UnicodeString text;
    formatter->format(udate(date), text);
    std::string out;
    return text.toUTF8String(out);
  }

  bool sameDay(Date a, Date b) const {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> calendar(icu::Calendar::createInstance(*zone_, locale_, status));
    if (U_FAILURE(status) || !calendar)
      return false;
    auto day = [&](Date date) {
      calendar->setTime(udate(date), status);
      return std::tuple(calendar->get(UCAL_ERA, status), calendar->get(UCAL_YEAR, status),
                        calendar->get(UCAL_DAY_OF_YEAR, status));
    };
    const auto first = day(a);
    const auto second = day(b);
    return U_SUCCESS(status) && first == second;
  }

private:
  icu::Locale locale_;
  std::unique_ptr<icu::TimeZone> zone_;
};

struct SwitchRow {
  const char *title;
  const char *detail;
  std::optional<bool> Preferences::*field;
};

const SwitchRow switchRows[] = {
    {"Notify on first use", "A notification the first time each Mac uses each of your ports.",
     &Preferences::notifyFirstUse},
    {"Tell me when a port I use stops answering",
     "Once per outage, for ports this Mac used in the last hour.", &Preferences::notifyServiceDown},
    {"Tell me when a Mac I use comes back",
     "After you wake it, or after ten minutes or more away if you used its ports.",
     &Preferences::notifyMacBack},
};

// The manager's setter of the switch at `row`.
void setNotify(ServiceManager &manager, std::size_t row, bool on) {
  switch (row) {
  case 0: manager.setNotifyFirstUse(on); break;
  case 1: manager.setNotifyServiceDown(on); break;
  default: manager.setNotifyMacBack(on); break;
  }
}

} // namespace

std::string accessLogTimeText(const AccessLog::Entry &entry, const AccessLogDates &dates) {
  const Formatting formatting(dates);
  std::string text =
      formatting.format(entry.first, icu::DateFormat::kMedium, icu::DateFormat::kShort);
  if (entry.last - entry.first >= 60.0) {
    text += " – ";
    text += formatting.sameDay(entry.first, entry.last)
                ? formatting.format(entry.last, icu::DateFormat::kNone, icu::DateFormat::kShort)
                : formatting.format(entry.last, icu::DateFormat::kMedium, icu::DateFormat::kShort);
  }
  if (entry.connections >= 2)
    text += " · " + std::to_string(entry.connections) + " connections";
  return text;
}

ActivitySection::ActivitySection(ServiceManager &manager, AccessLogDates dates, QWidget *parent)
    : QWidget(parent), manager_(manager), dates_(std::move(dates)) {
  setObjectName(QStringLiteral("activitySection"));
  auto *stack = panelkit::column(this, 10);

  auto *header = new QWidget;
  auto *headerRow = panelkit::row(header, 8);
  headerRow->addWidget(sectionTitle(QStringLiteral("Activity")));
  headerRow->addStretch(1);
  auto *clear = new QPushButton(QStringLiteral("Clear"));
  clear->setObjectName(QStringLiteral("clearLog"));
  ChipButtonStyle::apply(clear, settingsColor::chipFill, settingsColor::ink, false);
  connect(clear, &QPushButton::clicked, this, [this] { manager_.clearAccessLog(); });
  clear_ = clear;
  headerRow->addWidget(clear);
  header->setMinimumHeight(static_cast<int>(ChipButtonStyle::frameHeight));
  stack->addWidget(header);

  card_ = sectionCard();
  // The switches stay while the log below them is redrawn, so a flipped switch slides.
  for (std::size_t index = 0; index < std::size(switchRows); ++index) {
    const SwitchRow &each = switchRows[index];
    auto *row = new QWidget;
    row->setObjectName(QStringLiteral("switchRow"));
    auto *line = panelkit::row(row, 16, QMargins(16, 10, 16, 10));
    line->addWidget(settingRowLabel(QString::fromUtf8(each.title), QString::fromUtf8(each.detail),
                                    std::nullopt),
                    1);
    auto *toggle = new QCheckBox;
    toggle->setObjectName(QStringLiteral("notifySwitch"));
    toggle->setChecked((manager_.preferences.get().*(each.field)).value_or(true));
    InkSwitchStyle::apply(toggle, QString::fromUtf8(each.title));
    connect(toggle, &QCheckBox::toggled, this,
            [this, index](bool on) { setNotify(manager_, index, on); });
    line->addWidget(toggle);
    card_->addWidget(row);
    card_->addWidget(settingsRule());
  }
  auto *log = new QWidget;
  log->setObjectName(QStringLiteral("accessLogRows"));
  panelkit::column(log, 0);
  card_->addWidget(log);
  stack->addWidget(card_);
  stack->addWidget(sectionCaption(QStringLiteral(
      "Kept on this Mac only. Connections within five minutes of each other count as one visit. "
      "Clear empties the list, but first-use notifications still won't repeat for a Mac and "
      "port you've already seen.")));

  watch_ = new SettingsWatch([this] { rebuild(); }, this);
  watch_->watch(manager_.preferences).watch(manager_.accessLog);
  rebuild();
}

void ActivitySection::rebuild() {
  const auto toggles = card_->findChildren<QCheckBox *>(QStringLiteral("notifySwitch"));
  for (std::size_t i = 0; i < std::size(switchRows) && i < std::size_t(toggles.size()); ++i) {
    const bool on = (manager_.preferences.get().*(switchRows[i].field)).value_or(true);
    if (toggles[int(i)]->isChecked() != on)
      toggles[int(i)]->setChecked(on); // the manager already holds it: the setter sees no change
  }
  const auto &entries = manager_.accessLog->entries;
  clear_->setVisible(!entries.empty());

  auto *log = card_->findChild<QWidget *>(QStringLiteral("accessLogRows"));
  auto *column = static_cast<QVBoxLayout *>(log->layout());
  while (QLayoutItem *item = column->takeAt(0)) {
    if (QWidget *widget = item->widget()) {
      widget->hide();
      widget->deleteLater();
    }
    delete item;
  }
  if (entries.empty()) {
    auto *empty = themedLabel(QStringLiteral("No Mac has used your ports yet."),
                              Theme::system(12.5), settingsColor::muted);
    empty->setObjectName(QStringLiteral("logEmpty"));
    empty->setContentsMargins(16, 14, 16, 14);
    column->addWidget(empty);
    return;
  }
  const std::size_t shown = std::min(entries.size(), shownEntries);
  for (std::size_t i = 0; i < shown; ++i) {
    const auto &entry = entries[i];
    if (i > 0)
      column->addWidget(settingsRule());
    auto *row = new QWidget;
    row->setObjectName(QStringLiteral("logRow"));
    auto *lines = panelkit::column(row, 2, QMargins(16, 9, 16, 9));
    const QString first = QString::fromStdString(entry.peerName + " used " + entry.serviceName +
                                                 " :" + std::to_string(entry.port));
    auto *used = new ElidingLabel(first);
    used->setObjectName(QStringLiteral("logUsed"));
    used->setFont(Theme::system(13.5, QFont::Medium));
    panelkit::setForeground(used, settingsColor::ink.resolved());
    lines->addWidget(used);
    const QString second = QString::fromStdString(accessLogTimeText(entry, dates_));
    auto *when = themedLabel(second, Theme::system(12), settingsColor::muted);
    when->setObjectName(QStringLiteral("logTime"));
    lines->addWidget(when);
    row->setAccessibleName(first + QStringLiteral(", ") + second);
    column->addWidget(row);
  }
}

} // namespace corvane
