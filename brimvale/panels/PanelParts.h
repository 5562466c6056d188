#pragma once

#include <QString>
#include <QStringList>

namespace corvane {

class ServiceManager;

// What the map and the classic panel make alike from the manager's state. Main thread only.
namespace panelparts {

// One text that changes whenever one of `parts` does.
QString signature(const QStringList &parts);
// What the sharing section lists, less what its rows update in place: the pause banner and
// the environments with the shares in each.
QString sharingSignature(const ServiceManager &manager);

} // namespace panelparts
} // namespace corvane
