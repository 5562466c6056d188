#pragma once

#include "brimvale/platform/Task.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvane {

class GlobalHotkey;
class ServiceManager;
class UpdateChecker;
class UrlOpener;

// The application's side of launch, links and quitting: at launch it grabs the global
// shortcut and starts the update checks; it carries out "corvane:" links, holding those that
// arrive before launch has finished until then; at quit it lets the manager go, which tells
// the sharing control that the application no longer runs. Main thread only.
class AppDelegate {
public:
  // Set by the test harness; the delegate then leaves the system alone.
  static constexpr const char *testVariable = "XCTestConfigurationFilePath";

  // What the delegate works with; everything given must outlive it (the manager is held
  // weakly and may go first).
  struct Services {
    std::weak_ptr<ServiceManager> manager;
    GlobalHotkey *hotkey = nullptr;
    UpdateChecker *updates = nullptr;
    std::shared_ptr<UrlOpener> opener;
    // Puts a text on the clipboard, replacing what was there.
    std::function<void(const std::string &text)> copy;
    // Shows the panel as a click on the tray icon does.
    std::function<void()> openPanel;
  };

  explicit AppDelegate(Services services);
  // Links still being carried out end here; none reports back afterwards.
  ~AppDelegate();
  AppDelegate(const AppDelegate &) = delete;
  AppDelegate &operator=(const AppDelegate &) = delete;

  void applicationDidFinishLaunching();
  // Links opened by other programs (a second start of the application, the desktop).
  void open(const std::vector<std::string> &urls);
  void applicationWillTerminate();

  static bool isRunningTests();

  const std::vector<std::string> &pendingLinks() const { return pendingLinks_; }
  bool launched() const { return launched_; }
  // Once the termination step ran: links are no longer carried out.
  bool terminated() const { return terminated_; }
  // Links started and not yet finished.
  std::size_t linksInFlight() const;

private:
  void handleLink(std::string url);

  Services services_;
  std::vector<std::string> pendingLinks_;
  bool launched_ = false;
  bool terminated_ = false;
  std::vector<Task> tasks_;
  // Answers of links that finish after the delegate went are dropped.
  std::shared_ptr<AppDelegate *> self_;
};

} // namespace corvane
