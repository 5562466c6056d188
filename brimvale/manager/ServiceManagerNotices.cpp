// Which changes are worth a notification (a port that stopped answering, a Mac that came back
// or woke), how notes reach the user, and the saving of what waits to be saved.
#include "brimvale/integrations/SystemNotifier.h"
#include "brimvale/manager/ServiceManager.h"

#include <algorithm>

namespace corvane {

void ServiceManager::evaluateNotifications(const std::vector<IncomingService> &rows) {
  expectMainQueue();
  const Date at = date();
  for (const auto &row : rows)
    if (row.inUse)
      lastUsed.insert_or_assign(row.key, at);
  // A use dated after now (the clock was set back) stays.
  std::erase_if(lastUsed, [&](const auto &entry) { return !(at - entry.second <= usageMemory); });

  std::set<std::string> live;
  for (const auto &[peerID, services] : liveServices)
    live.insert(peerID);
  notificationRules.stamp(live, at);

  std::set<std::string> recent;
  for (const auto &[key, used] : lastUsed)
    if (at - used <= recentUseWindow)
      recent.insert(key.identifier());
  // The rules keep track whatever the switch says, so that switching it on later does not
  // announce an old outage again.
  const auto notes = notificationRules.evaluate(rows, recent, at);
  if (!preferences->serviceDownNoticesOn())
    return;
  for (const auto &note : notes)
    postNote(note);
}

void ServiceManager::announceMacBack(const std::string &peerID, bool woke) {
  expectMainQueue();
  if (!preferences->notifyMacBack.value_or(true))
    return;
  std::optional<Date> used;
  for (const auto &[key, when] : lastUsed)
    if (key.peerID == peerID && (!used || when > *used))
      used = when;
  const std::string name = peerDisplayName(peerID);
  const Date at = date();

  if (woke) {
    postNote({name + " is awake", "Its ports are ready to use."});
    return;
  }
  // The last stamp taken while the Mac was still live: the caller hands it over before its
  // new services are stored and stamped.
  const auto &stamps = notificationRules.lastConnected;
  const auto last = stamps.find(peerID);
  if (last == stamps.end())
    return;
  const Date seen = last->second;
  if (!(at - seen >= backAbsence))
    return;
  // Only when this Mac used one of its ports within the hour before it was last seen.
  if (!used || *used < seen - recentUseWindow)
    return;
  // This Mac's own sleep explains the absence: nothing came back.
  if (const auto &slept = notificationRules.sleptAt; slept && *slept > seen - sleptBeforeSeen)
    return;
  postNote({name + " is back", "Its ports are ready to use again."});
}

void ServiceManager::postNote(const NotificationRules::Note &note) {
  expectMainQueue();
  if (isPreview || stopped_)
    return;
  if (effects_.postNote)
    effects_.postNote(note);
  else if (notifier)
    notifier->post(note);
}

void ServiceManager::setNoteClickAction(std::function<void()> action) {
  expectMainQueue();
  if (notifier)
    notifier->setClickAction(mainQueue_, std::move(action));
}

void ServiceManager::flushPendingSaves() {
  expectMainQueue();
  if (isPreview)
    return;
  if (logSave && !logSave.isDone()) {
    logSave.cancel();
    // A change after this flush schedules a save of its own.
    logSave = Task();
    AccessLog::save(accessLog.get(), *defaults_);
  }
  if (lastSeenUnsaved) {
    lastSeenUnsaved = false;
    save();
  }
}

} // namespace corvane
