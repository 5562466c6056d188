// Letting go of paired Macs before this machine sleeps and finding them again after it wakes,
// and waking a sleeping paired Mac with wake packets.
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/SerialQueue.h"
#include "brimvale/platform/SleepWatcher.h"

#include <algorithm>

namespace corvane {

namespace {

// Each step that touches the manager first finds it; a released or stopped manager ends the
// task silently. Pauses that are cancelled end at once and the task goes on.
std::shared_ptr<ServiceManager> alive(const std::weak_ptr<ServiceManager> &weak) {
  auto self = weak.lock();
  if (!self || self->isStopped())
    return nullptr;
  return self;
}

Task wakeAndJudge(std::weak_ptr<ServiceManager> weak, std::weak_ptr<MainQueue> queue,
                  std::function<int(const std::vector<std::string> &)> send,
                  std::vector<std::string> hardware, std::string deviceID, std::string name) {
  int sent = 0;
  for (int round = 0; round < ServiceManager::wakeSendings; ++round) {
    if (!alive(weak))
      co_return;
    sent += std::max(0, send(hardware));
    co_await sleep(queue, ServiceManager::wakeSendPause);
  }
  if (sent == 0) {
    auto self = alive(weak);
    if (!self)
      co_return;
    self->wakingPeerIDs.modify([&](auto &set) { set.erase(deviceID); });
    self->setNotice(ServiceManager::wakeUnsentText);
    co_return;
  }
  co_await sleep(queue, ServiceManager::wakeJudgement);
  auto self = alive(weak);
  if (!self)
    co_return;
  // A Mac that reported has left the set already and was announced; one that is online
  // without a report yet leaves it silently.
  const bool waiting = self->wakingPeerIDs->contains(deviceID);
  self->wakingPeerIDs.modify([&](auto &set) { set.erase(deviceID); });
  if (waiting && !self->onlinePeerIDs->contains(deviceID))
    self->setNotice(name + ServiceManager::didNotWakeText);
}

Task endJustWoke(std::weak_ptr<ServiceManager> weak, std::weak_ptr<MainQueue> queue,
                 std::string deviceID) {
  co_await sleep(queue, ServiceManager::justWokeFor);
  if (auto self = alive(weak))
    self->forgetWoken(deviceID);
}

} // namespace

void ServiceManager::startSleepWatch() {
  const std::weak_ptr<ServiceManager> weak = weak_from_this();
  auto willSleep = [weak](std::function<void()> done) {
    auto self = alive(weak);
    if (!self) {
      done();
      return;
    }
    self->systemWillSleep();
    self->afterLettingGo(std::move(done));
  };
  auto didWake = [weak] {
    if (auto self = alive(weak))
      self->systemDidWake();
  };
  if (!effects_.watchSleep)
    effects_.watchSleep = [queue = mainQueue_](std::function<void(std::function<void()>)> sleeping,
                                               std::function<void()> woken) {
      // The watcher must go before the queue it reports on.
      std::shared_ptr<SleepWatcher> watcher(new SleepWatcher(*queue),
                                            [queue](SleepWatcher *w) { delete w; });
      watcher->onWillSleep = std::move(sleeping);
      watcher->onDidWake = std::move(woken);
      watcher->start();
      return std::shared_ptr<void>(watcher);
    };
  sleepWatch = effects_.watchSleep(std::move(willSleep), std::move(didWake));
}

void ServiceManager::afterLettingGo(std::function<void()> done) {
  // The queues are serial: once this has passed each, the stops posted before it have run, the
  // loopback listeners' closes on the proxy's relay queues included.
  proxies->afterClosing(
      [links = linkQueue, done = std::move(done)]() mutable { links->post(std::move(done)); });
}

void ServiceManager::systemWillSleep() {
  expectMainQueue();
  notificationRules.sleptAt = date();
  proxies->stopAll();
  for (const auto &[peerID, link] : links)
    effects_.stopLink(link);
  links.clear();
  liveServices.clear();
  assignedPorts.clear();
  routeStatus.clear();
  // Every route shows again after the wake, one that changed often before it too.
  routeLogBudget.clear();
  onlinePeerIDs.set({});
  reconcileIncoming();
  // Nothing of the log or the last-seen times may wait through the sleep.
  flushPendingSaves();
  Logger::app().info("Going to sleep: links and loopback listeners closed");
}

void ServiceManager::systemDidWake() {
  expectMainQueue();
  // Shares whose time ran out during the sleep are withdrawn before the gateway listens again.
  expireShares(date());
  settlingUntil = now() + settleWindow;
  refreshNetworkName();
  effects_.restartGateway();
  effects_.startDiscovery();
  ensurePeerLinks();
  Logger::app().info("Woke up: linking to paired machines again");
}

void ServiceManager::waitForWake(std::vector<std::string> hardware, std::string deviceID,
                                 std::string name) {
  expectMainQueue();
  if (isPreview || stopped_)
    return;
  keepWakeTask(wakeAndJudge(weak_from_this(), mainQueue_, effects_.sendWake, std::move(hardware),
                            std::move(deviceID), std::move(name)));
}

void ServiceManager::expireWokeAt(std::string deviceID) {
  expectMainQueue();
  if (stopped_)
    return;
  keepWakeTask(endJustWoke(weak_from_this(), mainQueue_, std::move(deviceID)));
}

void ServiceManager::forgetWoken(const std::string &deviceID) {
  expectMainQueue();
  wokeAt.erase(deviceID);
  reconcileIncoming();
}

void ServiceManager::keepWakeTask(Task task) {
  std::erase_if(wakeTasks, [](const Task &each) { return each.isDone(); });
  if (!task.isDone())
    wakeTasks.push_back(std::move(task));
}

} // namespace corvane
