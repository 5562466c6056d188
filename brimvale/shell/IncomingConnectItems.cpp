#include "brimvale/shell/IncomingConnectItems.h"

#include "brimvale/catalogue/ConnectionStrings.h"
#include "brimvale/catalogue/Problems.h"
#include "brimvale/foundation/DisplayText.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Unicode.h"
#include "brimvale/shell/CopyFeedback.h"

#include <QFile>
#include <QMenu>
#include <QStandardPaths>

namespace corvane {

namespace {

// A desktop entry is a small file; a larger one is not read.
constexpr qint64 desktopEntryLimit = 64 * 1024;
constexpr int applicationNameLimit = 64;

QString withoutDesktopSuffix(const std::string &desktopID) {
  QString id = QString::fromStdString(validUTF8(desktopID));
  if (id.endsWith(QStringLiteral(".desktop")))
    id.chop(8);
  return id;
}

} // namespace

IncomingConnectItems::IncomingConnectItems(IncomingService row, CopyFeedback &feedback,
                                           ServiceManager &manager, UrlOpener &opener,
                                           bool explanationAvailable, OpenWindow openWindow)
    : row_(std::move(row)), feedback_(feedback), manager_(manager), opener_(opener),
      explanationAvailable_(explanationAvailable), openWindow_(std::move(openWindow)) {}

QString IncomingConnectItems::copyID(const IncomingService &row) {
  return QString::fromStdString(ServiceManager::routeTextKey(row.key));
}

QString IncomingConnectItems::applicationName(const std::string &desktopID) {
  const QString fallback = withoutDesktopSuffix(desktopID);
  if (desktopID.find('/') != std::string::npos)
    return fallback;
  const QString path = QStandardPaths::locate(QStandardPaths::ApplicationsLocation,
                                              QString::fromStdString(desktopID));
  QFile entry(path);
  if (path.isEmpty() || entry.size() > desktopEntryLimit || !entry.open(QIODevice::ReadOnly))
    return fallback;
  bool inMainGroup = false;
  for (const QByteArray &raw : entry.read(desktopEntryLimit).split('\n')) {
    const QByteArray line = raw.trimmed();
    if (line.startsWith('['))
      inMainGroup = line == "[Desktop Entry]";
    else if (inMainGroup && line.startsWith("Name=")) {
      const std::string name = cleanDisplayText(line.mid(5).toStdString(), applicationNameLimit);
      return name.empty() ? fallback : QString::fromStdString(name);
    }
  }
  return fallback;
}

void IncomingConnectItems::addTo(QMenu &menu) const {
  using Case = IncomingService::State::Case;
  ServiceManager *manager = &manager_;

  if (explanationAvailable_) {
    if (auto report = ProblemReport::makeForIncoming(row_)) {
      menu.addAction(QStringLiteral("Explain this problem"),
                     [manager, report = *report, open = openWindow_] {
                       manager->explaining.set(report);
                       if (open)
                         open(QStringLiteral("explain"));
                     });
    }
  }

  if (row_.state.which() != Case::off) {
    menu.addAction(QStringLiteral("Change local port\u2026"),
                   [manager, row = row_] { manager->portPrompt.set(row); });
  }

  if (row_.state.which() == Case::connected && row_.localPort) {
    const auto text = makeConnectionURL(
        row_.name, *row_.localPort, row_.category.value_or(ExposedService::ServiceCategory::custom),
        row_.hints, row_.remotePort);
    if (text) {
      CopyFeedback *feedback = &feedback_;
      const QString id = copyID(row_);
      menu.addAction(QStringLiteral("Copy connection string"),
                     [feedback, id, copied = QString::fromStdString(*text)] {
                       feedback->copyWithFeedback(copied, id);
                     });
      menu.addAction(QStringLiteral("Copy .env line"),
                     [feedback, id, copied = QString::fromStdString(envLine(row_.name, *text))] {
                       feedback->copyWithFeedback(copied, id);
                     });
    }
  }

  // Only an address built here from the row's own port is ever handed to the desktop.
  if (auto address = connectionURL(row_, opener_)) {
    const auto application = opener_.applicationFor(*address);
    const QString name = application ? applicationName(*application) : QStringLiteral("its app");
    UrlOpener *opener = &opener_;
    menu.addAction(QStringLiteral("Open in ") + name,
                   [opener, url = *address] { opener->open(url); });
  }
}

} // namespace corvane
