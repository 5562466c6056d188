#include "brimvale/shell/AppDelegate.h"

#include "brimvale/integrations/LinkPerformer.h"
#include "brimvale/integrations/UpdateChecker.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/shell/GlobalHotkey.h"

#include <algorithm>
#include <cstdlib>

namespace corvane {

AppDelegate::AppDelegate(Services services)
    : services_(std::move(services)), self_(std::make_shared<AppDelegate *>(this)) {}

AppDelegate::~AppDelegate() {
  *self_ = nullptr;
  for (const auto &task : tasks_)
    task.cancel();
}

bool AppDelegate::isRunningTests() {
  return std::getenv(testVariable) != nullptr;
}

void AppDelegate::applicationDidFinishLaunching() {
  if (isRunningTests())
    return;
  if (services_.hotkey) {
    bool enabled = true;
    if (const auto manager = services_.manager.lock())
      enabled = manager->standardDefaults().boolean(GlobalHotkey::enabledKey).value_or(true);
    services_.hotkey->registerHotKey(enabled);
  }
  if (services_.updates)
    services_.updates->startUpdateChecks();
  launched_ = true;
  auto waiting = std::move(pendingLinks_);
  pendingLinks_.clear();
  for (auto &url : waiting)
    handleLink(std::move(url));
}

void AppDelegate::open(const std::vector<std::string> &urls) {
  if (isRunningTests())
    return;
  if (!launched_) {
    pendingLinks_.insert(pendingLinks_.end(), urls.begin(), urls.end());
    return;
  }
  for (const auto &url : urls)
    handleLink(url);
}

void AppDelegate::applicationWillTerminate() {
  if (isRunningTests() || terminated_)
    return;
  terminated_ = true;
  // The manager marks sharing as not running for the control and lets everything go.
  if (const auto manager = services_.manager.lock())
    manager->shutdown();
}

std::size_t AppDelegate::linksInFlight() const {
  return static_cast<std::size_t>(
      std::count_if(tasks_.begin(), tasks_.end(), [](const Task &task) { return !task.isDone(); }));
}

void AppDelegate::handleLink(std::string url) {
  std::erase_if(tasks_, [](const Task &task) { return task.isDone(); });
  std::weak_ptr<AppDelegate *> weak = self_;
  tasks_.push_back(performLink(services_.manager, std::move(url), services_.opener,
                               [weak](std::optional<LinkAction> action) {
                                 const auto holder = weak.lock();
                                 if (!holder || !*holder || !action)
                                   return;
                                 AppDelegate &self = **holder;
                                 switch (action->kind) {
                                 case LinkAction::Kind::copy:
                                   if (self.services_.copy)
                                     self.services_.copy(action->value);
                                   break;
                                 case LinkAction::Kind::open:
                                   if (self.services_.opener)
                                     self.services_.opener->open(action->value);
                                   break;
                                 case LinkAction::Kind::showPanel: {
                                   const auto manager = self.services_.manager.lock();
                                   // An open panel stays open.
                                   if (manager && !manager->isPanelVisible() &&
                                       self.services_.openPanel)
                                     self.services_.openPanel();
                                   break;
                                 }
                                 }
                               }));
}

} // namespace corvane
