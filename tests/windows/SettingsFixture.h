#pragma once

#include "brimvale/integrations/UpdateChecker.h"
#include "brimvale/shell/ElidingLabel.h"
#include "brimvale/shell/LaunchAtLogin.h"
#include "brimvale/shell/StatusSentences.h"
#include "brimvale/windows/SettingsStyles.h"
#include "brimvale/windows/SettingsView.h"
#include "tests/panels/PanelFixture.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <memory>

namespace corvane::testing {

// A settings window over a real manager (fake components, virtual time), with the hot key,
// the Wi-Fi permission, launch at login, this Mac's addresses and the date formatting put in
// by the test.
class SettingsTest : public PanelTest {
protected:
  void SetUp() override {
    make();
    queue->advance(11);
  }

  void TearDown() override {
    view.reset();
    updates.reset();
    PanelTest::TearDown();
  }

  SettingsView::Services services() {
    SettingsView::Services made;
    made.manager = manager.get();
    made.updates = updates.get();
    made.updateHost = "updates.corvane.app";
    ShortcutRecorder::Hotkey hotkey;
    hotkey.registerHotKey = [this](bool enabled) {
      registrations.push_back(enabled);
      return !enabled || hotkeyAccepts;
    };
    hotkey.saveShortcut = [this](std::int64_t keyCode, std::int64_t modifiers,
                                 const std::string &label) {
      defaults->setInteger(GlobalHotkey::keyCodeKey, keyCode);
      defaults->setInteger(GlobalHotkey::modifiersKey, modifiers);
      defaults->setString(GlobalHotkey::labelKey, label);
      saved.push_back(
          {static_cast<std::uint32_t>(keyCode), static_cast<std::uint32_t>(modifiers), label});
      registrations.push_back(true);
      return hotkeyAccepts;
    };
    hotkey.unavailable = [this] { return hotkeyUnavailable; };
    made.hotkey = hotkey;
    SettingsNetwork network = SettingsNetwork::of(*manager);
    network.permission = [this]() -> std::optional<NetworkName::Permission> {
      if (!defaults->boolean(NetworkName::showNetworkNameKey).value_or(false))
        return std::nullopt;
      return permission;
    };
    network.locationPermission = [this] { return permission; };
    network.authorizationUndecided = [this] {
      return permission == NetworkName::Permission::undecided;
    };
    network.requestAuthorization = [this] { ++authorizationRequests; };
    made.network = network;
    made.launchAtLoginEnabled = [this] { return loginItem; };
    made.setLaunchAtLogin = [this](bool on) -> std::optional<std::string> {
      loginRequests.push_back(on);
      if (loginRefuses)
        return std::string(launchAtLoginFailureText);
      loginItem = on;
      return std::nullopt;
    };
    made.dates = {"en_US", "UTC"};
    made.thisMacAddresses = [this] { return addresses; };
    made.version = "1.2.3";
    made.scrolls = false;
    made.pair = [this] { ++pairOpened; };
    return made;
  }

  SettingsView &open() {
    view = std::make_unique<SettingsView>(services());
    view->show();
    settle();
    return *view;
  }

  // An update checker whose requests wait for the test's answer.
  void makeUpdates() {
    UpdateChecker::Options options;
    options.build = 10;
    options.version = "1.2.3";
    updates = UpdateChecker::create(*manager->mainQueue(), *defaults, opener, options,
                                    [this](HttpRequest, std::function<void(HttpResult)> done) {
                                      pendingFetch = std::move(done);
                                    });
  }

  template <typename T = QWidget> T *find(const QString &name, QWidget *root = nullptr) {
    QWidget *in = root ? root : view.get();
    for (T *each : in->findChildren<T *>(name))
      if (each->isVisibleTo(in))
        return each;
    return nullptr;
  }
  // The text of the visible label `name`, or "<none>" when there is none.
  QString textOf(const QString &name, QWidget *root = nullptr) {
    QLabel *label = find<QLabel>(name, root);
    return label ? label->text() : QStringLiteral("<none>");
  }
  static QStringList texts(QWidget &root, const QString &name) {
    QStringList all;
    for (QLabel *each : visible<QLabel>(root, name))
      all << each->text();
    return all;
  }
  void click(QAbstractButton *button) {
    ASSERT_NE(button, nullptr);
    button->click();
    settle();
  }

  std::unique_ptr<SettingsView> view;
  std::shared_ptr<UpdateChecker> updates;
  std::function<void(HttpResult)> pendingFetch;
  std::vector<bool> registrations;
  std::vector<GlobalHotkey::Shortcut> saved;
  bool hotkeyAccepts = true;
  std::optional<std::string> hotkeyUnavailable;
  NetworkName::Permission permission = NetworkName::Permission::allowed;
  int authorizationRequests = 0;
  bool loginItem = false;
  bool loginRefuses = false;
  std::vector<bool> loginRequests;
  std::vector<std::string> addresses{"192.168.1.20", "studio.local"};
  int pairOpened = 0;
};

} // namespace corvane::testing
