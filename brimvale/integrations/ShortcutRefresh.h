#pragma once

#include "brimvale/integrations/IntentEntities.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/MainQueue.h"
#include "brimvale/platform/Published.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The port items the desktop search providers answer from: this process's own index, in place
// of a system-wide one. Main queue only.
class SearchIndex {
public:
  struct Item {
    PortEntity entity;
    std::vector<std::string> keywords;
    int priority = 0;
  };

  // Removes every port item; false when the index could not be changed.
  bool deleteAllPorts();
  void index(const std::vector<PortEntity> &entities, int priority);

  const std::vector<Item> &items() const { return items_; }
  const Item *find(std::string_view id) const;
  // The identifiers of the items whose title, subtitle and keywords hold every word of every
  // term (ignoring case, diacritics and the kind of apostrophe), in index order; among
  // `within` only, when given. No words find nothing.
  std::vector<std::string> search(const std::vector<std::string> &terms,
                                  const std::vector<std::string> *within = nullptr) const;

  // How often the index was replaced (tests).
  int passes() const { return passes_; }

private:
  std::vector<Item> items_;
  int passes_ = 0;
};

// Runs one piece of work at a time on the main queue: each new piece cancels the one before
// it and starts only once that one has ended, so of several requests that arrive while one
// runs only the newest runs. Use it on the main queue.
class SerialRunner {
public:
  // Starts on the main queue; asks `cancelled` between its steps and calls `finished` once.
  using Work = std::function<void(std::function<bool()> cancelled, std::function<void()> finished)>;

  explicit SerialRunner(std::weak_ptr<MainQueue> queue) : queue_(std::move(queue)) {}

  void run(Work work);

  struct Run; // one piece's state

private:
  std::weak_ptr<MainQueue> queue_;
  std::shared_ptr<Run> last;
};

// Replaces the index's port items with `entities` at priority 0: first deletes every port
// item (a failed deletion indexes nothing), then stops if cancelled or if there is nothing to
// index. Calls `finished` once.
void reindexPorts(SearchIndex &index, const std::vector<PortEntity> &entities,
                  const std::function<bool()> &cancelled, const std::function<void()> &finished);

// How long the port list must stay unchanged before it reaches the index.
inline constexpr double portRefreshQuiet = 2;

// The port pipeline: the manager's incoming ports as entities, now and after every change;
// a list equal to the one before is dropped; a list passes only after `quiet` seconds without
// a newer one. For each list that passes, its re-index goes to `runner` and then
// `updateAppShortcutParameters` is called, in the same turn. Ends with the subscription.
Published<std::vector<IncomingService>>::Subscription
syncShortcutParameters(ServiceManager &manager, std::shared_ptr<SearchIndex> index,
                       std::shared_ptr<SerialRunner> runner,
                       std::function<void()> updateAppShortcutParameters,
                       double quiet = portRefreshQuiet);

// The environment-name pipeline: `updateAppShortcutParameters` on the main queue whenever the
// list of environment names changes (and once for the first list). A change of shares alone
// calls nothing. Ends with the subscription.
Published<Preferences>::Subscription
syncEnvironmentNames(ServiceManager &manager, std::function<void()> updateAppShortcutParameters);

} // namespace corvane
