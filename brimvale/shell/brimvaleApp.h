#pragma once

#include "brimvale/shell/PanelRoot.h"
#include "brimvale/shell/WindowRegistry.h"

#include <QObject>
#include <QPointer>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

class QMenu;
class QSystemTrayIcon;

namespace corvane {

class AppDelegate;
class GlobalHotkey;
class IntentBus;
class QtMainQueue;
class ServiceManager;
class UpdateChecker;
class UrlOpener;

// The desktop application: the one service manager, the tray icon with its panel and its
// right-click menu (the panel, Settings…, Quit), the window registry, the global shortcut, the
// delegate that carries out links and quitting, and the intents on the session bus.
// The panel is a frameless window placed under the tray icon (at the pointer where the tray
// does not say where its icon is, kept on the screen); without a tray it is a normal window,
// shown at start. Main thread only; a QApplication must exist and run its loop.
class brimvaleApp : public QObject {
  Q_OBJECT

public:
  brimvaleApp(std::shared_ptr<QtMainQueue> queue, PanelRoot::MakePanel makePanel);
  ~brimvaleApp() override;

  // Launch: the tray icon (or the panel's window), the delegate's launch step, then `links`.
  void start(const std::vector<std::string> &links);
  // Links handed over by a later start; none asks for the panel.
  void receive(const std::vector<std::string> &arguments);

  void togglePanel();
  void showPanel();
  void hidePanel();
  // Runs the delegate's termination step, then ends the event loop.
  void quit();
  // Before the event loop ends (also on a signal): lets the manager go.
  void terminate();

  ServiceManager &manager() { return *manager_; }
  WindowRegistry &windows() { return windows_; }
  PanelRoot *panelRoot() const { return root_.get(); }
  QSystemTrayIcon *tray() const { return tray_.get(); }
  AppDelegate &delegate() { return *delegate_; }
  UrlOpener &opener() { return *opener_; }
  UpdateChecker &updates() { return *updates_; }
  // Opens a window by its id and brings it to the front; the panel closes.
  void openWindow(const QString &id);
  GlobalHotkey &hotkey() { return *hotkey_; }

  // Only the links among a start's arguments: those of the "corvane" scheme.
  static std::vector<std::string> linksIn(const std::vector<std::string> &arguments);

private:
  bool eventFilter(QObject *watched, QEvent *event) override;
  void updateIcon();
  void placePanel();

  std::shared_ptr<QtMainQueue> queue_;
  std::shared_ptr<ServiceManager> manager_;
  std::shared_ptr<UrlOpener> opener_;
  std::shared_ptr<UpdateChecker> updates_;
  std::unique_ptr<GlobalHotkey> hotkey_;
  std::unique_ptr<AppDelegate> delegate_;
  // Scripts and desktop search; absent where there is no session bus.
  std::unique_ptr<IntentBus> intents_;
  WindowRegistry windows_;
  PanelActions actions_;
  std::unique_ptr<PanelRoot> root_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  // The tray icon's right-click menu; the icon does not own it.
  std::unique_ptr<QMenu> trayMenu_;
  std::vector<std::shared_ptr<void>> subscriptions_;
  int iconState_ = -1;
  std::chrono::steady_clock::time_point autoHiddenAt_{};
};

} // namespace corvane
