#pragma once

#include "brimvale/foundation/AccessLog.h"

#include <QWidget>
#include <string>

namespace corvane {

class SectionCard;
class ServiceManager;
class SettingsWatch;

// How the activity section writes dates: ICU's medium date and short time styles in a locale
// and time zone. Empty names take the user's (the process's default locale and zone).
struct AccessLogDates {
  std::string locale;
  std::string timeZone;
};

// The row's time text of one visit: its first connection's date and time, " – " and the last
// one's time (with its date when on another day) when they are a minute or more apart, and
// " · N connections" for more than one.
std::string accessLogTimeText(const AccessLog::Entry &entry, const AccessLogDates &dates = {});

// The notification switches and the access log: which paired Mac used which shared port and
// when, newest first, at most 30 rows, with Clear. Drawn from the manager's settings and log
// at each change. Main thread only; `manager` must outlive it.
class ActivitySection : public QWidget {
  Q_OBJECT

public:
  static constexpr std::size_t shownEntries = 30;

  ActivitySection(ServiceManager &manager, AccessLogDates dates = {}, QWidget *parent = nullptr);
  void rebuild();

private:
  ServiceManager &manager_;
  AccessLogDates dates_;
  QWidget *clear_ = nullptr;
  SectionCard *card_ = nullptr;
  SettingsWatch *watch_ = nullptr;
};

} // namespace corvane
