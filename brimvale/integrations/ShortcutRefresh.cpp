#include "brimvale/integrations/ShortcutRefresh.h"

#include "brimvale/integrations/PortResolution.h"

#include <algorithm>
#include <optional>

namespace corvane {

bool SearchIndex::deleteAllPorts() {
  items_.clear();
  ++passes_;
  return true;
}

void SearchIndex::index(const std::vector<PortEntity> &entities, int priority) {
  for (const auto &entity : entities)
    items_.push_back({entity, entity.keywords(), priority});
}

const SearchIndex::Item *SearchIndex::find(std::string_view id) const {
  for (const auto &item : items_)
    if (item.entity.id == id)
      return &item;
  return nullptr;
}

std::vector<std::string> SearchIndex::search(const std::vector<std::string> &terms,
                                             const std::vector<std::string> *within) const {
  std::string query;
  for (const auto &term : terms)
    query += term + " ";
  std::vector<std::string> found;
  if (holdsEveryWord("", query))
    return found; // no words
  for (const auto &item : items_) {
    if (within && std::find(within->begin(), within->end(), item.entity.id) == within->end())
      continue;
    std::string haystack = item.entity.title() + " " + item.entity.subtitle();
    for (const auto &keyword : item.keywords)
      haystack += " " + keyword;
    if (holdsEveryWord(haystack, query))
      found.push_back(item.entity.id);
  }
  return found;
}

struct SerialRunner::Run {
  bool cancelled = false;
  bool finished = false;
  std::vector<std::function<void()>> whenFinished;

  void finish() {
    if (finished)
      return;
    finished = true;
    auto waiting = std::move(whenFinished);
    for (auto &next : waiting)
      next();
  }
};

void SerialRunner::run(Work work) {
  auto previous = last;
  if (previous)
    previous->cancelled = true;
  auto current = std::make_shared<Run>();
  last = current;
  auto queue = queue_.lock();
  if (!queue)
    return;
  // Starts after this turn, as a task would.
  queue->post([previous, current, work = std::move(work)]() mutable {
    auto start = [current, work = std::move(work)]() mutable {
      if (current->cancelled) {
        current->finish();
        return;
      }
      work([current] { return current->cancelled; }, [current] { current->finish(); });
    };
    if (previous && !previous->finished)
      previous->whenFinished.push_back(std::move(start));
    else
      start();
  });
}

void reindexPorts(SearchIndex &index, const std::vector<PortEntity> &entities,
                  const std::function<bool()> &cancelled, const std::function<void()> &finished) {
  if (index.deleteAllPorts() && !(cancelled && cancelled()) && !entities.empty())
    index.index(entities, 0);
  if (finished)
    finished();
}

Published<std::vector<IncomingService>>::Subscription
syncShortcutParameters(ServiceManager &manager, std::shared_ptr<SearchIndex> index,
                       std::shared_ptr<SerialRunner> runner,
                       std::function<void()> updateAppShortcutParameters, double quiet) {
  struct Pipeline {
    std::weak_ptr<MainQueue> queue;
    std::shared_ptr<SearchIndex> index;
    std::shared_ptr<SerialRunner> runner;
    std::function<void()> update;
    double quiet = 0;
    std::optional<std::vector<PortEntity>> lastPassed;
    WorkItem pending;

    void receive(const std::vector<IncomingService> &ports) {
      auto entities = portEntities(ports);
      if (lastPassed && *lastPassed == entities)
        return;
      lastPassed = entities;
      pending.cancel();
      auto strong = queue.lock();
      if (!strong)
        return;
      pending = strong->postAfter(quiet, [this, entities = std::move(entities)] {
        auto target = index;
        runner->run(
            [target, entities](std::function<bool()> cancelled, std::function<void()> finished) {
              reindexPorts(*target, entities, cancelled, finished);
            });
        if (update)
          update();
      });
    }
  };
  auto pipeline = std::make_shared<Pipeline>();
  pipeline->queue = manager.mainQueue();
  pipeline->index = std::move(index);
  pipeline->runner = std::move(runner);
  pipeline->update = std::move(updateAppShortcutParameters);
  pipeline->quiet = quiet;
  pipeline->receive(manager.incoming.get());
  // The debounced work holds the pipeline only weakly: ending the subscription ends it.
  struct Owner {
    std::shared_ptr<Pipeline> pipeline;
    ~Owner() { pipeline->pending.cancel(); }
  };
  auto owner = std::make_shared<Owner>();
  owner->pipeline = pipeline;
  return manager.incoming.subscribe(
      [owner](const std::vector<IncomingService> &ports) { owner->pipeline->receive(ports); });
}

Published<Preferences>::Subscription
syncEnvironmentNames(ServiceManager &manager, std::function<void()> updateAppShortcutParameters) {
  struct Pipeline {
    std::weak_ptr<MainQueue> queue;
    std::function<void()> update;
    std::optional<std::vector<std::string>> lastNames;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    void receive(const Preferences &preferences) {
      std::vector<std::string> names;
      for (const auto &environment :
           preferences.environments.value_or(std::vector<ShareEnvironment>{}))
        names.push_back(environment.name);
      if (lastNames && *lastNames == names)
        return;
      lastNames = std::move(names);
      if (auto strong = queue.lock())
        strong->post([weak = std::weak_ptr<bool>(alive), update = update] {
          if (!weak.expired() && update)
            update();
        });
    }
  };
  auto pipeline = std::make_shared<Pipeline>();
  pipeline->queue = manager.mainQueue();
  pipeline->update = std::move(updateAppShortcutParameters);
  pipeline->receive(manager.preferences.get());
  return manager.preferences.subscribe(
      [pipeline](const Preferences &preferences) { pipeline->receive(preferences); });
}

} // namespace corvane
