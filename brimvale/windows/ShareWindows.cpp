#include "brimvale/windows/ShareWindows.h"

#include "brimvale/catalogue/PortChecks.h"
#include "brimvale/shell/QtMainQueue.h"
#include "brimvale/shell/WindowRegistry.h"
#include "brimvale/windows/AppWindows.h"
#include "brimvale/windows/ComposeImportWindow.h"
#include "brimvale/windows/ExplainWindow.h"
#include "brimvale/windows/LocalProbes.h"
#include "brimvale/windows/SharePortView.h"

#include <memory>

namespace corvane {

namespace {

// Two threads are plenty: every probe is a short asynchronous exchange.
constexpr std::size_t probeThreads = 2;

} // namespace

void addShareWindows(WindowRegistry &registry, const WindowContext &context) {
  auto queue = std::make_shared<QtMainQueue>();
  const LocalProbes probes = LocalProbes::on(std::make_shared<ProbePool>(probeThreads));
  ServiceManager *manager = context.manager;
  registry.add(QStringLiteral("importer"),
               [manager, queue, probes] { return new ImportWindow(*manager, queue, probes); });
  registry.add(QStringLiteral("explain"), [manager, queue] {
    return new ExplainWindow(*manager, queue, ExplainWindow::askModel());
  });
}

void addShareEditor(PanelHooks &hooks, const WindowContext &context) {
  auto queue = std::make_shared<QtMainQueue>();
  const LocalProbes probes = LocalProbes::on(std::make_shared<ProbePool>(probeThreads));
  ServiceManager *manager = context.manager;
  auto openWindow = context.openWindow;
  hooks.shareEditor = [manager, queue, probes,
                       openWindow](std::function<void()> done) -> QWidget * {
    return new SharePortView(*manager, queue, probes, openWindow, std::move(done),
                             /*scansWider=*/true);
  };
}

} // namespace corvane
