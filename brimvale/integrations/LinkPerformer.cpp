#include "brimvale/integrations/LinkPerformer.h"

#include "brimvale/foundation/DisplayText.h"
#include "brimvale/integrations/IntentOperations.h"
#include "brimvale/platform/Logger.h"

#include <algorithm>

namespace corvane {

namespace {

// A refused link is quoted in the log only this far.
constexpr int maxLoggedLinkLength = 200;

std::optional<LinkAction> failedLink(ServiceManager &manager, const IntentFailure &failure) {
  std::string sentence = failure.errorDescription();
  manager.setNotice(sentence.empty() ? "Corvane couldn't follow that link." : std::move(sentence));
  return LinkAction::showPanel();
}

bool anyStillConnecting(const ServiceManager &manager) {
  const auto &paired = manager.pairedPeers.get();
  return std::any_of(paired.begin(), paired.end(), [&](const PairedPeer &peer) {
    return manager.isStillConnecting(peer.deviceID);
  });
}

} // namespace

Task performLink(std::weak_ptr<ServiceManager> manager, std::string url,
                 std::shared_ptr<UrlOpener> opener,
                 std::function<void(std::optional<LinkAction>)> done) {
  const auto finish = [&](std::optional<LinkAction> action) {
    if (done)
      done(std::move(action));
  };
  const auto request = readLink(url);
  if (!request)
    Logger::app().notice("Refused the link \u201C" + cleanDisplayText(url, maxLoggedLinkLength) +
                         "\u201D: " + request.error());
  auto strong = manager.lock();
  if (!request || !strong) {
    finish(std::nullopt);
    co_return;
  }

  using Kind = LinkRequest::Kind;
  switch (request->kind) {
  case Kind::showPanel: finish(LinkAction::showPanel()); co_return;
  case Kind::pauseAll:
    strong->setSharingPaused(true);
    finish(std::nullopt);
    co_return;
  case Kind::pauseEnvironment:
    if (const auto paused = setEnvironmentNamed(*strong, request->name, false); !paused)
      finish(failedLink(*strong, paused.error()));
    else
      finish(std::nullopt);
    co_return;
  case Kind::copy:
  case Kind::open: break;
  }

  auto port = findPortByName(request->name, strong->incoming.get(), strong->pairedPeers.get());
  // Right after a start made for this link no paired Mac has linked yet: the name is judged
  // only once those nearby have, or the wait for a connecting Mac is over.
  for (double slept = 0; !port && port.error().which() == IntentFailure::Case::noPortNamed &&
                         slept < portReadyTimeout && anyStillConnecting(*strong);
       slept += portReadyPollInterval) {
    std::weak_ptr<MainQueue> queue = strong->mainQueue();
    strong.reset(); // not held while asleep
    co_await sleep(queue, portReadyPollInterval);
    strong = manager.lock();
    if (!strong) {
      finish(std::nullopt);
      co_return;
    }
    port = findPortByName(request->name, strong->incoming.get(), strong->pairedPeers.get());
  }
  if (!port) {
    finish(failedLink(*strong, port.error()));
    co_return;
  }
  const std::string id = portIdentifier(port->key);
  std::weak_ptr<MainQueue> queue = strong->mainQueue();
  strong.reset(); // not held while waiting
  // Named, not a temporary inside the co_await: GCC 12 destroys such temporaries twice.
  CompletionAwaiter<bool>::Start wait = [manager, id](std::function<void(bool)> ready) {
    waitUntilReady(manager, id, portReadyTimeout, [ready] { ready(true); });
  };
  co_await completion<bool>(queue, std::move(wait));

  strong = manager.lock();
  if (!strong) {
    finish(std::nullopt);
    co_return;
  }
  if (request->kind == Kind::copy) {
    const auto usable = usablePort(*strong, id);
    if (!usable)
      finish(failedLink(*strong, usable.error()));
    else if (!usable->localPort)
      finish(failedLink(*strong, IntentFailure::failed(usable->name, "No free port on this Mac")));
    else
      finish(LinkAction::copy(portAddress(*usable)));
    co_return;
  }
  const auto target = openableURL(*strong, id, *opener);
  if (!target)
    finish(failedLink(*strong, target.error()));
  else
    finish(LinkAction::open(*target));
}

} // namespace corvane
