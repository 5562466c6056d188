// The settings window in light and dark, whole and section by section, written to
// <build>/screens for a reviewer; each picture is checked for its width and for content.
#include "brimvale/windows/ActivitySection.h"
#include "brimvale/windows/PairedMacsSection.h"
#include "brimvale/windows/ThisMacSection.h"
#include "brimvale/windows/TrustedNetworksSection.h"
#include "tests/shell/Appearance.h"
#include "tests/shell/Screens.h"
#include "tests/windows/SettingsFixture.h"

#include <gtest/gtest.h>

namespace corvane::testing {
namespace {

using Appearance = Theme::Appearance;

class SettingsScreensTest : public SettingsTest, public ::testing::WithParamInterface<Appearance> {
protected:
  Appearance appearance() const { return GetParam(); }

  // Paired Macs in several states, trusted networks with another current network, a log of
  // three visits, and an offered update.
  void fill() {
    const auto studio = pairAt("Studio", 100);
    const auto attic = pairAt("attic", 200);
    pairAt("Build box", 300);
    online({studio});
    manager->setNickname(attic.deviceID, "Upstairs");
    manager->setManualAddress(attic.deviceID, "192.168.1.44");
    manager->applySecurity(studio.deviceID, false);
    manager->trustNetwork("Office");
    manager->trustNetwork("Home");
    wifi->name = "Cafe Corner";
    manager->relayNetworkChange();
    AccessLog log;
    log.entries = {visitOf("Studio", "Postgres", 5432, 758628000, 758628000 + 1800, 4),
                   visitOf("Upstairs", "Web app", 3000, 758620000, 758620000, 1),
                   visitOf("Studio", "Redis", 6379, 758540000, 758600000, 2)};
    manager->accessLog.set(log);
    makeUpdates();
    updates->lastChecked.set(758628000);
    settle();
  }

  static AccessLog::Entry visitOf(const char *mac, const char *service, int port, Date first,
                                  Date last, int connections) {
    AccessLog::Entry entry;
    entry.id = service;
    entry.peerID = "peer";
    entry.peerName = mac;
    entry.serviceName = service;
    entry.port = port;
    entry.first = first;
    entry.last = last;
    entry.connections = connections;
    return entry;
  }

  QImage shoot(QWidget &widget, const QString &name, int minimumDrawn = 3000) {
    settle();
    int height = widget.sizeHint().height();
    if (widget.hasHeightForWidth())
      height = std::max(height, widget.heightForWidth(widget.width()));
    widget.resize(widget.width(), height);
    settle(); // lays the children out at that height
    const QImage image = saveScreen(widget, name, appearance());
    EXPECT_GT(drawnPixels(image, Theme::background.in(appearance())), minimumDrawn)
        << name.toStdString();
    return image;
  }
};

TEST_P(SettingsScreensTest, TheWholeWindowAndEachSection) {
  ScopedAppearance scoped(appearance());
  fill();
  open();
  const QImage whole = shoot(*view, "settings-window", 40000);
  EXPECT_EQ(whole.width(), SettingsView::pageWidth);
  EXPECT_GT(whole.height(), 1500);
  shoot(*view->pairedMacs(), "settings-paired-macs");
  shoot(*view->trustedNetworks(), "settings-trusted-networks");
  shoot(*view->activity(), "settings-activity");
  shoot(*view->thisMac(), "settings-this-mac");

  // The states a row passes through: an unpair confirmation and a refused address; a
  // recording under way.
  view->state().confirmingUnpair.set(manager->pairedPeers->front().deviceID);
  view->pairedMacs()->saveAddress(manager->pairedPeers->back().deviceID, "8.8.8.8");
  shoot(*view->pairedMacs(), "settings-paired-macs-confirming");
  view->recorder()->toggleRecording();
  shoot(*view->recorder()->parentWidget(), "settings-panel-recording", 1000);
  view->recorder()->toggleRecording();
}

TEST_P(SettingsScreensTest, EmptyStatesAndTheScrollingFrame) {
  ScopedAppearance scoped(appearance());
  permission = NetworkName::Permission::denied;
  defaults->setBool(NetworkName::showNetworkNameKey, true);
  auto made = services();
  made.scrolls = true;
  view = std::make_unique<SettingsView>(made);
  view->show();
  settle();
  const QImage image = saveScreen(*view, "settings-window-scrolling", appearance());
  EXPECT_EQ(image.size(), QSize(600, 720));
  shoot(*view->pairedMacs(), "settings-paired-macs-empty");
  shoot(*view->trustedNetworks(), "settings-trusted-networks-empty");
  shoot(*view->activity(), "settings-activity-empty");
}

INSTANTIATE_TEST_SUITE_P(Appearances, SettingsScreensTest,
                         ::testing::Values(Appearance::light, Appearance::dark),
                         [](const auto &info) { return std::string(appearanceName(info.param)); });

} // namespace
} // namespace corvane::testing
