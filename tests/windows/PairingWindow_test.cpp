// The pairing window's parts that need no second machine: its map nodes, the code's spoken
// form, the typed-address check and its sentences, the "This Mac" line, and the address form
// over a manager with fake components.
#include "brimvale/shell/Theme.h"
#include "brimvale/shell/WindowRegistry.h"
#include "brimvale/windows/AppWindows.h"
#include "brimvale/windows/PairByAddress.h"
#include "brimvale/windows/PairingWindow.h"
#include "tests/panels/PanelFixture.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace corvane::testing {
namespace {

TEST(PairingWindowNodes, PairedMacsOldestFirstThenCandidatesWithTheFollowingColours) {
  const PairedPeer late{"late", "Late", {}, 300};
  const PairedPeer early{"early", "Early", {}, 100};
  const NearbyDevice candidate{"cand", "Lab mac",
                               Endpoint::hostPort(Endpoint::Host::loopbackIPv4(), 46311)};
  const auto nodes = PairingWindow::mapNodes({late, early}, {"late"}, {candidate});
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ(nodes[0], (MapNode{"early", "Early", MapNode::Kind::paired(false), 0}));
  EXPECT_EQ(nodes[1], (MapNode{"late", "Late", MapNode::Kind::paired(true), 1}));
  EXPECT_EQ(nodes[2], (MapNode{"cand", "Lab mac", MapNode::Kind::candidate(), 2}));
  EXPECT_TRUE(PairingWindow::mapNodes({}, {}, {}).empty());
  // Paired a moment ago and still advertising its pairing window: shown once, as paired.
  const NearbyDevice stale{"late", "Late", candidate.endpoint};
  const auto once = PairingWindow::mapNodes({late, early}, {}, {stale, candidate});
  ASSERT_EQ(once.size(), 3u);
  EXPECT_EQ(once[2].id, "cand");
  EXPECT_EQ(once[2].colorIndex, 2);
}

TEST(PairingWindowNodes, TheCodeIsSpokenDigitByDigit) {
  EXPECT_EQ(PairingWindow::codeAccessibleName("042917"), "Pairing code 0 4 2 9 1 7");
}

TEST(PairByAddressTest, AcceptedAddressesCallTheTypedPortOrThePairingPort) {
  const auto plain = PairByAddress::submission("192.168.1.20");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->endpoint,
            ManualAddress::endpoint("192.168.1.20", std::nullopt, PairByAddress::pairingPort));
  EXPECT_EQ(plain->endpoint.asHostPort()->port, 46311);
  EXPECT_EQ(plain->name, "192.168.1.20");
  EXPECT_EQ(plain->host, "192.168.1.20");

  const auto typed = PairByAddress::submission("192.168.1.20:46320");
  ASSERT_TRUE(typed);
  EXPECT_EQ(typed->endpoint.asHostPort()->port, 46320);
  EXPECT_EQ(typed->name, "192.168.1.20:46320");

  const auto spaced = PairByAddress::submission("  Ivo-Mac.local \t");
  ASSERT_TRUE(spaced);
  EXPECT_EQ(spaced->name, "ivo-mac.local");
  EXPECT_EQ(spaced->host, "ivo-mac.local");
  EXPECT_TRUE(PairByAddress::submission("ivomac"));
  EXPECT_TRUE(PairByAddress::submission("10.1.2.3"));
  EXPECT_TRUE(PairByAddress::submission("100.100.1.1"));
  const auto v6 = PairByAddress::submission("[fe80::1]:46400");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->name, "[fe80::1]:46400");
}

TEST(PairByAddressTest, RefusalsGiveTheirSentences) {
  for (const char *text : {"8.8.8.8", "localhost", "studio.example.com", "2001:4860::8888"})
    EXPECT_EQ(PairByAddress::submission(text),
              std::unexpected(std::string(PairByAddress::notLocalText)))
        << text;
  for (const char *text : {"", "   ", "1.2.3.4:0", "192.168.1.20:65536", "192.168.1.20:http",
                           "ivo mac", "192.168.1.20:"})
    EXPECT_EQ(PairByAddress::submission(text),
              std::unexpected(std::string(PairByAddress::unreadableText)))
        << text;
}

TEST(PairByAddressTest, ThisMacLineAddsTheListenersPortOnlyWhenItIsNotThePairingPort) {
  const std::vector<std::string> addresses{"192.168.1.24", "studio.local"};
  EXPECT_EQ(PairByAddress::thisMacLine(addresses, 46311), "This Mac: 192.168.1.24, studio.local");
  EXPECT_EQ(PairByAddress::thisMacLine(addresses, std::nullopt),
            "This Mac: 192.168.1.24, studio.local");
  EXPECT_EQ(PairByAddress::thisMacLine(addresses, 46312),
            "This Mac: 192.168.1.24:46312, studio.local:46312");
  EXPECT_EQ(PairByAddress::thisMacLine({"studio.local"}, 46311), "This Mac: studio.local");
  EXPECT_EQ(PairByAddress::thisMacLine({}, 46312), std::nullopt);
}

class PairByAddressForm : public PanelTest {
protected:
  void SetUp() override { make(); }
};

TEST_F(PairByAddressForm, TheLinkOpensTheFormAndRefusalsStayUntilAnAcceptedAddress) {
  std::vector<std::string> addresses{"192.168.1.24", "studio.local"};
  PairByAddress part(*manager, [&] { return addresses; });
  part.show();
  auto *link = part.findChild<QPushButton *>("addressLink");
  auto *field = part.findChild<QLineEdit *>("addressField");
  auto *pair = part.findChild<QPushButton *>("addressPair");
  auto *below = part.findChild<QLabel *>("addressBelow");
  auto *line = part.findChild<QLabel *>("thisMacLine");
  ASSERT_TRUE(link && field && pair && below && line);
  EXPECT_TRUE(link->isVisible());
  EXPECT_FALSE(field->isVisible());
  EXPECT_EQ(line->text(), "This Mac: 192.168.1.24, studio.local");
  EXPECT_EQ(line->font().family(), Theme::mono(11).family());
  EXPECT_TRUE(line->textInteractionFlags() & Qt::TextSelectableByMouse);

  QTest::mouseClick(link, Qt::LeftButton);
  EXPECT_TRUE(part.typingAddress());
  EXPECT_FALSE(link->isVisible());
  EXPECT_TRUE(field->isVisible());
  EXPECT_EQ(field->placeholderText(), "192.168.1.20 or ivo-mac.local");
  EXPECT_EQ(field->accessibleName(), "The other Mac's address");
  EXPECT_EQ(below->text(), PairByAddress::hintText);
  EXPECT_FALSE(pair->isEnabled()) << "nothing typed";
  QTest::keyClicks(field, " \t ");
  EXPECT_FALSE(pair->isEnabled()) << "only spaces and tabs";

  // Return in an empty field still submits.
  QTest::keyClick(field, Qt::Key_Return);
  EXPECT_EQ(part.addressProblem(), std::optional<QString>(PairByAddress::unreadableText));
  EXPECT_EQ(below->text(), PairByAddress::unreadableText);
  EXPECT_EQ(below->palette().color(QPalette::WindowText), Theme::accent.resolved());

  field->setText("8.8.8.8");
  EXPECT_TRUE(pair->isEnabled());
  QTest::mouseClick(pair, Qt::LeftButton);
  EXPECT_EQ(below->text(), PairByAddress::notLocalText);
  field->setText("1.2.3.4:0");
  QTest::mouseClick(pair, Qt::LeftButton);
  EXPECT_EQ(below->text(), PairByAddress::unreadableText);
  field->setText("localhost");
  QTest::mouseClick(pair, Qt::LeftButton);
  EXPECT_EQ(below->text(), PairByAddress::notLocalText);
  // Editing alone keeps the sentence.
  QTest::keyClicks(field, "x");
  EXPECT_EQ(below->text(), PairByAddress::notLocalText);

  // An accepted address clears it and keeps the text; the coordinator, not running, ignores
  // the call.
  field->setText("192.168.1.20");
  QTest::mouseClick(pair, Qt::LeftButton);
  EXPECT_EQ(part.addressProblem(), std::nullopt);
  EXPECT_EQ(below->text(), PairByAddress::hintText);
  EXPECT_EQ(part.address(), "192.168.1.20");
  EXPECT_EQ(manager->pairingCoordinator()->state().kind, PairingCoordinator::State::Kind::idle);

  // No address at all: no line.
  addresses.clear();
  part.refresh();
  EXPECT_FALSE(line->isVisibleTo(&part));
}

TEST_F(PairByAddressForm, APreviewManagerShowsTheSampleAddresses) {
  manager->shutdown();
  make(/*preview=*/true);
  PairByAddress part(*manager);
  EXPECT_EQ(part.findChild<QLabel *>("thisMacLine")->text(),
            "This Mac: 192.168.1.24, studio-mac.local");
}

TEST_F(PairByAddressForm, TheWindowsAreRegisteredUnderTheirIds) {
  WindowRegistry registry;
  WindowContext context;
  context.manager = manager.get();
  context.opener = &opener;
  QStringList openedIDs;
  context.openWindow = [&](const QString &id) { openedIDs << id; };
  context.reduceMotion = true;
  addAppWindows(registry, context);
  EXPECT_TRUE(registry.contains("pairing"));
  EXPECT_TRUE(registry.contains("onboarding"));
  // The pairing window is opened by the tests of the whole pairing: opening it listens.
  ASSERT_TRUE(registry.open("onboarding"));
  EXPECT_EQ(registry.window("onboarding")->windowTitle(), "Welcome to Corvane");
  // The launcher's "Pair a Mac" opens the pairing window by its id, after onboarding is done.
  for (int i = 0; i < 3; ++i)
    QTest::keyClick(registry.window("onboarding"), Qt::Key_Return);
  EXPECT_EQ(openedIDs, QStringList{"pairing"});
  EXPECT_EQ(manager->standardDefaults().boolean("didOnboard"), true);
  settle();
  EXPECT_EQ(registry.window("onboarding"), nullptr) << "closed, and gone";
}

} // namespace
} // namespace corvane::testing
