// The paired Macs with their dialogs, the trusted networks, the activity and this Mac's
// sections of the settings window, each over a manager with real state.
#include "brimvale/shell/PromptDialog.h"
#include "brimvale/windows/PairedMacsSection.h"
#include "brimvale/windows/ThisMacSection.h"
#include "brimvale/windows/TrustedNetworksSection.h"
#include "tests/windows/SettingsFixture.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <gtest/gtest.h>

namespace corvane::testing {
namespace {

// Paired Macs.

class PairedMacsTest : public SettingsTest {
protected:
  std::vector<QWidget *> rows() { return visible<QWidget>(*view->pairedMacs(), "pairedMacRow"); }
  QWidget *rowOf(const PairedPeer &peer) {
    for (QWidget *row : rows())
      if (row->property("deviceID").toString().toStdString() == peer.deviceID)
        return row;
    return nullptr;
  }
  QPushButton *button(const PairedPeer &peer, const QString &name) {
    QWidget *row = rowOf(peer);
    return row ? find<QPushButton>(name, row) : nullptr;
  }
  // Opens an alert from its row, types and presses one of its buttons.
  void answer(PromptDialog *alert, const QString &typed, const QString &pressed) {
    ASSERT_TRUE(alert->isVisible());
    alert->fields().front()->setText(typed);
    for (QPushButton *each : alert->buttons())
      if (each->text() == pressed)
        each->click();
    settle();
  }
};

TEST_F(PairedMacsTest, EmptyThenCountedRowsInPairingOrderWithTheirColours) {
  open();
  PairedMacsSection &section = *view->pairedMacs();
  EXPECT_FALSE(find<QLabel>("pairedCount", &section));
  EXPECT_NE(find("pairedEmpty", &section), nullptr);
  EXPECT_TRUE(texts(section, "").contains(PairedMacsSection::caption));

  std::vector<PairedPeer> peers;
  for (const char *name : {"studio", "Attic", "Mini", "Spare", "Box", "Sixth"})
    peers.push_back(pairAt(name, 600 - static_cast<Date>(peers.size()) * 100));
  settle();
  EXPECT_EQ(textOf("pairedCount", &section), "6");
  EXPECT_EQ(find("pairedEmpty", &section), nullptr);
  // Oldest pairing first; a rule before every row but the first.
  const auto shown = rows();
  ASSERT_EQ(shown.size(), 6u);
  EXPECT_EQ(textOf("displayName", shown.front()), "Sixth");
  EXPECT_EQ(visible<QWidget>(section, "settingsRule").size(), 5u);
  // The lower-case name gets an upper-case letter.
  EXPECT_EQ(PairedMacsSection::avatarLetter("studio"), "S");
  EXPECT_EQ(PairedMacsSection::avatarLetter(""), "");
  EXPECT_EQ(PairedMacsSection::avatarLetter("éclair"), "É");
  EXPECT_EQ(PairedMacsSection::capitalizedFirst("nearby now"), "Nearby now");

  click(find<QPushButton>("pairMac", &section));
  EXPECT_EQ(pairOpened, 1);
}

TEST_F(PairedMacsTest, RowsShowNamesFingerprintLastSeenAndNotices) {
  const auto studio = pairAt("Studio", 100);
  const auto attic = pairAt("Attic", 200);
  online({studio});
  manager->setNickname(attic.deviceID, "Upstairs");
  manager->applySecurity(studio.deviceID, false);
  settle();
  open();
  EXPECT_EQ(textOf("callsItself", rowOf(attic)), "Calls itself Attic");
  EXPECT_EQ(find<QLabel>("callsItself", rowOf(studio)), nullptr);
  EXPECT_EQ(textOf("fingerprint", rowOf(studio)).toStdString(),
            groupedFingerprint(studio.deviceID));
  // On one line after the fingerprint when there is room, capitalised under it when not.
  auto seen = [&](const PairedPeer &peer) {
    const QString after = textOf("seenAfter", rowOf(peer));
    return after != "<none>" ? after : textOf("seenBelow", rowOf(peer));
  };
  EXPECT_TRUE(seen(studio) == "· nearby now" || seen(studio) == "Nearby now")
      << seen(studio).toStdString();
  EXPECT_TRUE(seen(attic) == "· not nearby" || seen(attic) == "Not nearby")
      << seen(attic).toStdString();
  EXPECT_EQ(textOf("olderVersion", rowOf(studio)),
            "Studio runs an older Corvane. Update it there for forward secrecy.");
  EXPECT_EQ(find<QLabel>("olderVersion", rowOf(attic)), nullptr);
  EXPECT_EQ(button(attic, "rename")->accessibleName(), "Rename Upstairs on this Mac");

  // Removing the nickname removes the second line.
  manager->setNickname(attic.deviceID, std::nullopt);
  settle();
  EXPECT_EQ(find<QLabel>("callsItself", rowOf(attic)), nullptr);
}

TEST_F(PairedMacsTest, RenameSavesCleansAndRemovesNicknames) {
  const auto studio = pairAt("Studio", 100);
  open();
  PromptDialog *alert = view->pairedMacs()->renameAlert();
  click(button(studio, "rename"));
  EXPECT_EQ(alert->title(), "Rename Studio");
  EXPECT_EQ(alert->texts(), QStringList{""});
  answer(alert, QString(50, 'x'), "Save");
  EXPECT_FALSE(alert->isVisible());
  EXPECT_EQ(manager->preferences->nicknames->at(studio.deviceID), std::string(40, 'x'));
  EXPECT_EQ(view->state().renaming.get(), std::nullopt);

  // Reopened, the field holds the nickname; spaces only remove it.
  click(button(studio, "rename"));
  EXPECT_EQ(alert->texts(), QStringList{QString(40, 'x')});
  answer(alert, "   ", "Save");
  EXPECT_FALSE(manager->preferences->nicknames.has_value());

  click(button(studio, "rename"));
  answer(alert, "Desk", "Save");
  click(button(studio, "rename"));
  answer(alert, "ignored", "Cancel");
  EXPECT_EQ(manager->preferences->nicknames->at(studio.deviceID), "Desk");
  click(button(studio, "rename"));
  answer(alert, "ignored", "Use its own name");
  EXPECT_FALSE(manager->preferences->nicknames.has_value());
}

TEST_F(PairedMacsTest, AddressProblemsStandUnderTheirMacUntilTheNextSave) {
  const auto studio = pairAt("Studio", 100);
  const auto attic = pairAt("Attic", 200);
  open();
  PromptDialog *alert = view->pairedMacs()->addressAlert();
  click(button(studio, "address"));
  EXPECT_EQ(alert->title(), "Address of Studio");
  answer(alert, "not an address!", "Save");
  EXPECT_EQ(textOf("addressProblem", rowOf(studio)), PairedMacsSection::unreadableSentence);
  EXPECT_EQ(find<QLabel>("addressProblem", rowOf(attic)), nullptr);
  EXPECT_EQ(manager->manualAddress(studio.deviceID), std::nullopt);

  click(button(studio, "address"));
  answer(alert, "8.8.8.8", "Save");
  EXPECT_EQ(textOf("addressProblem", rowOf(studio)), PairedMacsSection::notLocalSentence);
  click(button(studio, "address"));
  answer(alert, "", "Cancel");
  EXPECT_NE(find<QLabel>("addressProblem", rowOf(studio)), nullptr);

  // A good address for the other Mac clears it, and shows under that Mac.
  click(button(attic, "address"));
  answer(alert, " 192.168.1.20:4000 ", "Save");
  EXPECT_EQ(find<QLabel>("addressProblem", rowOf(studio)), nullptr);
  EXPECT_EQ(textOf("manualAddress", rowOf(attic)), "At 192.168.1.20:4000");
  click(button(attic, "address"));
  EXPECT_EQ(alert->texts(), QStringList{"192.168.1.20:4000"});
  answer(alert, "", "Save");
  EXPECT_EQ(manager->manualAddress(attic.deviceID), std::nullopt);
}

TEST_F(PairedMacsTest, UnpairIsConfirmedInItsRowAndRecoloursTheOthers) {
  const auto studio = pairAt("Studio", 100);
  const auto attic = pairAt("Attic", 200);
  open();
  click(button(studio, "unpair"));
  EXPECT_NE(button(studio, "unpairNow"), nullptr);
  EXPECT_EQ(button(studio, "rename"), nullptr);
  EXPECT_NE(button(attic, "rename"), nullptr);
  click(button(studio, "cancelUnpair"));
  EXPECT_NE(button(studio, "rename"), nullptr);

  click(button(attic, "unpair"));
  click(button(studio, "unpair")); // one confirmation at a time
  EXPECT_EQ(button(attic, "unpairNow"), nullptr);
  click(button(studio, "unpairNow"));
  EXPECT_EQ(rows().size(), 1u);
  EXPECT_EQ(rowOf(studio), nullptr);
  EXPECT_EQ(textOf("pairedCount", view->pairedMacs()), "1");
  EXPECT_EQ(peerColorIndex(manager->pairedPeers.get(), attic.deviceID), 0);
}

// Trusted networks.

class TrustedNetworksTest : public SettingsTest {
protected:
  TrustedNetworksSection &section() { return *view->trustedNetworks(); }
  QStringList titles() { return texts(section(), "rowTitle"); }
  void network(std::optional<std::string> name) {
    wifi->name = std::move(name);
    manager->relayNetworkChange();
    settle();
  }
};

TEST_F(TrustedNetworksTest, AnEmptyListSharesAnywhereAndTrustsTheCurrentNetwork) {
  network("Office");
  open();
  EXPECT_EQ(titles(), QStringList{"Share on any network"});
  EXPECT_TRUE(textOf("trustedCaption", &section()).startsWith("Corvane reads"));
  auto *trust = find<QPushButton>("trustNetwork", &section());
  EXPECT_EQ(trust->text(), "Trust Office");
  click(trust);
  EXPECT_EQ(manager->preferences->trustedNetworks, std::vector<std::string>{"Office"});
  EXPECT_EQ(texts(section(), "connected"), QStringList{"· connected"});
  EXPECT_TRUE(titles().isEmpty());
  EXPECT_TRUE(textOf("trustedCaption", &section()).startsWith("Off these"));

  // Removing the last name goes back to sharing anywhere.
  click(find<QPushButton>("removeNetwork", &section()));
  EXPECT_EQ(titles(), QStringList{"Share on any network"});
}

TEST_F(TrustedNetworksTest, AnotherNetworkIsOfferedAndNamesCompareTrimmed) {
  manager->trustNetwork("Office");
  network("Cafe");
  open();
  EXPECT_EQ(texts(section(), "connected"), QStringList{});
  EXPECT_EQ(titles(), QStringList{"You're on Cafe"});
  EXPECT_EQ(texts(section(), "rowDetail"), QStringList{"Sharing is paused here."});
  EXPECT_TRUE(texts(section(), "rowWarning").isEmpty());
  click(find<QPushButton>("trustNetwork", &section()));
  EXPECT_EQ(manager->preferences->trustedNetworks, (std::vector<std::string>{"Office", "Cafe"}));
  EXPECT_TRUE(titles().isEmpty());

  // Differing in case: not listed. Differing in white space only: the same network, as
  // sharing sees it.
  network("office");
  EXPECT_EQ(titles(), QStringList{"You're on office"});
  network("Office ");
  EXPECT_EQ(manager->sharingState.get(), SharingState::on());
  EXPECT_EQ(texts(section(), "connected"), QStringList{"· connected"});
  EXPECT_TRUE(titles().isEmpty());
}

TEST_F(TrustedNetworksTest, WithoutAWifiNameThePermissionDecidesTheButton) {
  manager->trustNetwork("Office");
  network(std::nullopt);
  permission = NetworkName::Permission::undecided;
  open();
  EXPECT_EQ(titles(), QStringList{"Can't read the Wi-Fi name"});
  EXPECT_EQ(find<QPushButton>("permissionButton", &section())->text(), "Allow");
  EXPECT_TRUE(texts(section(), "rowWarning").isEmpty());

  permission = NetworkName::Permission::denied;
  section().rebuild();
  settle();
  EXPECT_EQ(find<QPushButton>("permissionButton", &section())->text(), "Open Settings");
  EXPECT_EQ(texts(section(), "rowWarning"), QStringList{TrustedNetworksSection::locationWarning});

  permission = NetworkName::Permission::allowed;
  section().rebuild();
  settle();
  EXPECT_EQ(find<QPushButton>("permissionButton", &section()), nullptr);

  // Paused by the user: no permission button either.
  permission = NetworkName::Permission::undecided;
  manager->setSharingPaused(true);
  settle();
  EXPECT_EQ(find<QPushButton>("permissionButton", &section()), nullptr);
}

TEST_F(TrustedNetworksTest, WithoutANameNoButtonThatDoesNothingAndTheRowSaysWhy) {
  // A wired network, or no NetworkManager: there is no name to trust.
  network(std::nullopt);
  open();
  EXPECT_EQ(find<QPushButton>("trustNetwork", &section()), nullptr);
  EXPECT_EQ(texts(section(), "rowWarning"),
            QStringList{TrustedNetworksSection::unreadableNetworkText});
  permission = NetworkName::Permission::denied;
  section().rebuild();
  settle();
  EXPECT_EQ(find<QPushButton>("trustNetwork", &section()), nullptr);
  EXPECT_EQ(texts(section(), "rowWarning"), QStringList{TrustedNetworksSection::locationWarning});
  // Only a permission never asked for leaves the button something to do.
  permission = NetworkName::Permission::undecided;
  section().rebuild();
  settle();
  auto *trust = find<QPushButton>("trustNetwork", &section());
  ASSERT_NE(trust, nullptr);
  EXPECT_EQ(trust->text(), "Trust this network");
  click(trust);
  EXPECT_EQ(authorizationRequests, 1);
  EXPECT_FALSE(manager->preferences->trustedNetworks.has_value());
}

// Activity.

AccessLog::Entry visit(int i, Date first, Date last, int connections = 1) {
  AccessLog::Entry entry;
  entry.id = std::to_string(i);
  entry.peerID = "peer";
  entry.peerName = "Studio";
  entry.serviceName = "Postgres";
  entry.port = 5432;
  entry.first = first;
  entry.last = last;
  entry.connections = connections;
  return entry;
}

TEST(AccessLogTimeTextTest, FirstTimeThenLastTimeThenConnections) {
  const AccessLogDates dates{"en_US", "UTC"};
  // 2025-01-15 10:00:00 UTC in seconds since 2001.
  const Date morning = 758628000;
  auto text = [&](Date first, Date last, int connections) {
    return QString::fromStdString(accessLogTimeText(visit(0, first, last, connections), dates))
        .replace(QChar(0x202F), ' ')
        .toStdString();
  };
  EXPECT_EQ(text(morning, morning + 59, 1), "Jan 15, 2025, 10:00 AM");
  EXPECT_EQ(text(morning, morning + 60, 1), "Jan 15, 2025, 10:00 AM – 10:01 AM");
  EXPECT_EQ(text(morning, morning + 15 * 3600, 2),
            "Jan 15, 2025, 10:00 AM – Jan 16, 2025, 1:00 AM · 2 connections");
  // Another locale, another wording.
  EXPECT_EQ(accessLogTimeText(visit(0, morning, morning, 1), {"de_DE", "UTC"}),
            "15.01.2025, 10:00");
}

class ActivityTest : public SettingsTest {};

TEST_F(ActivityTest, SwitchesReadAbsentAsOnAndStoreOnlyTheirField) {
  open();
  const auto toggles = visible<QCheckBox>(*view->activity(), "notifySwitch");
  ASSERT_EQ(toggles.size(), 3u);
  for (QCheckBox *each : toggles)
    EXPECT_TRUE(each->isChecked());
  click(toggles[1]);
  EXPECT_EQ(manager->preferences->notifyServiceDown, false);
  EXPECT_FALSE(manager->preferences->notifyFirstUse.has_value());
  EXPECT_FALSE(manager->preferences->notifyMacBack.has_value());
  EXPECT_EQ(ServiceManager::loadPreferences(*defaults).notifyServiceDown, false);
}

TEST_F(ActivityTest, TheLogShowsThirtyVisitsAndClearIsSavedEvenAtOnceOnQuit) {
  open();
  ActivitySection &section = *view->activity();
  EXPECT_EQ(find<QPushButton>("clearLog", &section), nullptr);
  EXPECT_EQ(texts(section, "logEmpty"), QStringList{"No Mac has used your ports yet."});

  AccessLog log;
  log.entries.push_back(visit(0, 758628000, 758628000));
  log.seenPairs = {"peer/Postgres:5432"};
  manager->accessLog.set(log);
  settle();
  EXPECT_EQ(visible<QWidget>(section, "logRow").size(), 1u);
  EXPECT_EQ(visible<QWidget>(section, "settingsRule").size(), 3u); // under the three switches
  EXPECT_NE(find<QPushButton>("clearLog", &section), nullptr);
  EXPECT_EQ(find<ElidingLabel>("logUsed", &section)->text(), "Studio used Postgres :5432");

  for (int i = 1; i < 45; ++i)
    log.entries.push_back(visit(i, 758628000 - i * 1000, 758628000 - i * 1000));
  manager->accessLog.set(log);
  settle();
  EXPECT_EQ(visible<QWidget>(section, "logRow").size(), 30u);

  click(find<QPushButton>("clearLog", &section));
  EXPECT_TRUE(manager->accessLog->entries.empty());
  EXPECT_EQ(manager->accessLog->seenPairs, log.seenPairs);
  EXPECT_EQ(find<QPushButton>("clearLog", &section), nullptr);
  EXPECT_EQ(visible<QWidget>(section, "logRow").size(), 0u);
  // Quitting before the two seconds are up still saves the empty log.
  view.reset();
  manager->shutdown();
  const auto stored = AccessLog::load(*defaults);
  EXPECT_TRUE(stored.entries.empty());
  EXPECT_EQ(stored.seenPairs, log.seenPairs);
}

// This Mac.

class ThisMacTest : public SettingsTest {
protected:
  ThisMacSection &section() { return *view->thisMac(); }
  void rename(const QString &typed) {
    QLineEdit *field = section().nameField();
    field->setText(typed);
    QTest::keyClick(field, Qt::Key_Return);
    settle();
  }
};

TEST_F(ThisMacTest, OnlyReturnRenamesAndTheFieldShowsTheNameInForce) {
  open();
  EXPECT_EQ(section().nameField()->text(), "studio");
  rename("  Desk Mac  ");
  EXPECT_EQ(manager->deviceName.get(), "Desk Mac");
  EXPECT_EQ(section().nameField()->text(), "Desk Mac");
  rename(QString(50, 'n'));
  EXPECT_EQ(section().nameField()->text(), QString(40, 'n'));
  rename("");
  EXPECT_EQ(section().nameField()->text(), "studio");

  // Typed without Return: nothing changes, and the next showing drops it.
  section().nameField()->setText("Elsewhere");
  settle();
  EXPECT_EQ(manager->deviceName.get(), "studio");
  view->hide();
  view->show();
  settle();
  EXPECT_EQ(section().nameField()->text(), "studio");
}

TEST_F(ThisMacTest, CopyPutsTheShownFingerprintOnTheClipboardAndSaysSoForAWhile) {
  open();
  const QString shown = textOf("fingerprint", &section());
  EXPECT_EQ(shown.toStdString(), groupedFingerprint(manager->myDeviceID()));
  EXPECT_EQ(shown.split(' ').size(), 4);
  EXPECT_EQ(shown, shown.toUpper());
  click(section().copyButton());
  EXPECT_EQ(QApplication::clipboard()->text(), shown);
  EXPECT_EQ(section().copyButton()->text(), "Copied");
  EXPECT_TRUE(section().copiedFingerprint());
  queue->advance(1.3);
  EXPECT_EQ(section().copyButton()->text(), "Copied");
  queue->advance(0.2);
  EXPECT_EQ(section().copyButton()->text(), "Copy");
}

TEST_F(ThisMacTest, AddressesCarryTheGatewayPortOnlyWhenItIsNotTheDefault) {
  open();
  EXPECT_EQ(textOf("addresses", &section()), "192.168.1.20, studio.local");
  manager->gatewayPort.set(46320);
  settle();
  EXPECT_EQ(textOf("addresses", &section()), "192.168.1.20:46320, studio.local:46320");
  manager->gatewayPort.set(46310);
  settle();
  EXPECT_EQ(textOf("addresses", &section()), "192.168.1.20, studio.local");

  addresses.clear();
  section().rebuild();
  settle();
  EXPECT_EQ(find<QLabel>("addresses", &section()), nullptr);
  EXPECT_EQ(visible<QWidget>(section(), "settingsRule").size(), 1u);
}

} // namespace
} // namespace corvane::testing
