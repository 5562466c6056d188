// Saves that failed: tried again until they succeed, and once more on the way out, so that a
// change made while the disk was full is not lost when space returns.
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Logger.h"

#include <algorithm>

namespace corvane {

namespace {

Task retrySavesLater(std::weak_ptr<ServiceManager> weak, std::weak_ptr<MainQueue> queue) {
  double pause = ServiceManager::saveRetryFirst;
  while (co_await sleep(queue, pause)) {
    const auto self = weak.lock();
    if (!self || self->isStopped() || self->retryFailedSaves())
      co_return;
    pause = std::min(pause * 2, ServiceManager::saveRetryCap);
  }
}

std::string joined(const std::vector<std::string> &keys) {
  std::string text;
  for (const auto &key : keys)
    text += (text.empty() ? "" : ", ") + key;
  return text;
}

} // namespace

void ServiceManager::watchFailedSaves() {
  // A save may fail on any thread that writes these settings; the retry lives on the main queue.
  const auto onFailure = [weak = weak_from_this(), queue = std::weak_ptr(mainQueue_)] {
    if (const auto target = queue.lock())
      target->post([weak] {
        if (const auto self = weak.lock(); self && !self->stopped_)
          self->scheduleSaveRetry();
      });
  };
  defaults_->setOnSaveFailed(onFailure);
  if (control)
    control->defaults().setOnSaveFailed(onFailure);
}

void ServiceManager::scheduleSaveRetry() {
  expectMainQueue();
  if (stopped_ || isPreview || !saveRetry.isDone())
    return;
  saveRetry = retrySavesLater(weak_from_this(), mainQueue_);
}

bool ServiceManager::retryFailedSaves() {
  expectMainQueue();
  bool saved = defaults_->saveUnsaved().has_value();
  if (control) {
    saved = control->defaults().saveUnsaved().has_value() && saved;
    if (controlUnpublished)
      publishSharingToControl();
    saved = saved && !controlUnpublished;
  }
  return saved;
}

void ServiceManager::saveForTheLastTime() {
  saveRetry.cancel();
  const auto lastTry = [](UserDefaults &defaults, const std::string &what) {
    const auto keys = defaults.unsavedKeys();
    if (const auto saved = defaults.saveUnsaved(); !saved)
      Logger::app().error("Could not save " + what + " before stopping (" + saved.error() +
                          "); these changes are lost: " + joined(keys));
  };
  lastTry(*defaults_, "the settings");
  if (control)
    lastTry(control->defaults(), "the sharing control's state");
  defaults_->setOnSaveFailed({});
  if (control)
    control->defaults().setOnSaveFailed({});
}

} // namespace corvane
