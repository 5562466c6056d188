#include "brimvale/integrations/Intents.h"

#include "brimvale/integrations/IntentOperations.h"
#include "brimvale/manager/SharingState.h"

#include <algorithm>

namespace corvane {

namespace {

// Waits while the port's Mac is still connecting; false when the manager went meanwhile.
// GCC 12 destroys temporaries inside a co_await twice, so the awaiter's start is named.
CompletionAwaiter<bool> portReady(const std::shared_ptr<ServiceManager> &manager,
                                  const std::string &id) {
  std::weak_ptr<ServiceManager> weak = manager;
  CompletionAwaiter<bool>::Start wait = [weak, id](std::function<void(bool)> ready) {
    waitUntilReady(weak, id, portReadyTimeout, [ready] { ready(true); });
  };
  return completion<bool>(manager->mainQueue(), std::move(wait));
}

void copy(const IntentDependencies &dependencies, const std::string &text) {
  if (dependencies.pasteboard)
    dependencies.pasteboard->setString(text);
}

// The dialog of a switch turned on: the name, and why sharing may still not run.
std::string onDialog(const ServiceManager &manager, const std::string &name) {
  return shareStatusDialog(manager, name);
}

} // namespace

Task CopyPortAddressIntent::perform(IntentDependencies dependencies, IntentDone done) const {
  const std::string id = port.id;
  auto strong = dependencies.manager.lock();
  if (!strong)
    co_return;
  auto ready = portReady(strong, id);
  strong.reset(); // not held while waiting
  co_await ready;
  if (!(strong = dependencies.manager.lock()))
    co_return;
  const auto usable = usablePort(*strong, id);
  if (!usable) {
    done(std::unexpected(usable.error()));
    co_return;
  }
  const std::string address = portAddress(*usable);
  copy(dependencies, address);
  done(IntentResult{address, "Copied " + address + "."});
}

Task GetConnectionStringIntent::perform(IntentDependencies dependencies, IntentDone done) const {
  const std::string id = port.id;
  const bool copyIt = copy;
  auto strong = dependencies.manager.lock();
  if (!strong)
    co_return;
  auto ready = portReady(strong, id);
  strong.reset();
  co_await ready;
  if (!(strong = dependencies.manager.lock()))
    co_return;
  const auto text = connectionText(*strong, id);
  if (!text) {
    done(std::unexpected(text.error()));
    co_return;
  }
  if (copyIt)
    corvane::copy(dependencies, *text);
  done(IntentResult{*text, std::nullopt});
}

Task OpenPortIntent::perform(IntentDependencies dependencies, IntentDone done) const {
  const std::string id = port.id;
  auto strong = dependencies.manager.lock();
  if (!strong || !dependencies.opener)
    co_return;
  auto ready = portReady(strong, id);
  strong.reset();
  co_await ready;
  if (!(strong = dependencies.manager.lock()))
    co_return;
  const auto url = openableURL(*strong, id, *dependencies.opener);
  if (!url) {
    done(std::unexpected(url.error()));
    co_return;
  }
  // Whether the application came up is not ours to report.
  (void)dependencies.opener->open(*url);
  done(IntentResult{});
}

Task ShowPortIntent::perform(IntentDependencies dependencies, IntentDone done) const {
  const std::string id = target.id;
  auto strong = dependencies.manager.lock();
  if (!strong)
    co_return;
  auto ready = portReady(strong, id);
  strong.reset();
  co_await ready;
  if (!(strong = dependencies.manager.lock()))
    co_return;
  // A port that is gone is answered as copying and opening answer it; any other problem shows.
  if (!findIncoming(strong->incoming.get(), id)) {
    done(std::unexpected(IntentFailure::unknownPort()));
    co_return;
  }
  if (const auto address = showPortAddress(*strong, id))
    copy(dependencies, *address);
  if (!strong->isPanelVisible() && dependencies.openPanel)
    dependencies.openPanel();
  done(IntentResult{});
}

void SetShareIntent::perform(IntentDependencies dependencies, IntentDone done) const {
  auto strong = dependencies.manager.lock();
  if (!strong)
    return;
  if (const auto switched = setShare(*strong, share.id, state == Switch::on); !switched) {
    done(std::unexpected(switched.error()));
    return;
  }
  done(IntentResult{std::nullopt, state == Switch::off ? share.name + " is paused."
                                                       : onDialog(*strong, share.name)});
}

void SetEnvironmentIntent::perform(IntentDependencies dependencies, IntentDone done) const {
  auto strong = dependencies.manager.lock();
  if (!strong)
    return;
  const auto environments =
      strong->preferences->environments.value_or(std::vector<ShareEnvironment>{});
  if (std::none_of(environments.begin(), environments.end(),
                   [&](const ShareEnvironment &each) { return each.id == environment.id; })) {
    done(std::unexpected(IntentFailure::unknownEnvironment(environment.name)));
    return;
  }
  strong->setEnvironmentEnabled(environment.id, state == Switch::on);
  done(IntentResult{std::nullopt, state == Switch::off ? environment.name + " is paused."
                                                       : onDialog(*strong, environment.name)});
}

void SetSharingPausedIntent::perform(IntentDependencies dependencies, IntentDone done) const {
  auto strong = dependencies.manager.lock();
  if (!strong)
    return;
  strong->setSharingPaused(state == Switch::off);
  if (state == Switch::off) {
    done(IntentResult{std::nullopt, "Sharing is paused."});
    return;
  }
  const auto sentence =
      sharingStatusText(strong->sharingState.get(), strong->locationPermission.get());
  done(IntentResult{std::nullopt, sentence.value_or("Sharing is on.")});
}

} // namespace corvane
