#pragma once

#include "brimvale/foundation/ServiceRecords.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

class QAbstractButton;
class QObject;
class QWidget;

namespace corvane {

class ServiceManager;
struct PanelContext;
struct ShareEnvironment;

// What the map and the classic panel make alike from the manager's state. Main thread only.
namespace panelparts {

// One text that changes whenever one of `parts` does.
QString signature(const QStringList &parts);
// Whether every share of an environment is on; an empty one counts as on.
bool allEnabled(const std::vector<OutgoingService> &rows);
// What the sharing section lists, less what its rows update in place: the pause banner and
// the environments with the shares in each.
QString sharingSignature(const ServiceManager &manager);

// Updates a port row in place to `fresh`: stores it in `current` and names `row` for
// accessibility by it, and only when `look` then reads differently, empties `row` (its
// children go later, as one of their handlers may be running; open menus stay and go by
// themselves once closed) and runs `build` on it.
void updateRow(QWidget &row, IncomingService &current, IncomingService fresh,
               const std::function<QString()> &look, const std::function<void()> &build);

// Makes `toggle` pause or resume the environment's shares together (`allOn`: all enabled now)
// and `more` open its menu, both spoken with the environment's name. The connections end with
// `owner`; `context` must outlive it.
void wireEnvironmentButtons(QAbstractButton &toggle, QAbstractButton &more, QObject &owner,
                            const PanelContext &context, const ShareEnvironment &environment,
                            bool allOn);

} // namespace panelparts
} // namespace corvane
