#include "brimvale/foundation/AccessLog.h"

#include "brimvale/platform/UserDefaults.h"

#include <algorithm>
#include <limits>

namespace corvane {

namespace {

std::string pairText(std::string_view peerID, std::string_view serviceName, int port) {
  std::string text;
  text.reserve(peerID.size() + serviceName.size() + 8);
  text.append(peerID).append("/").append(serviceName).append(":").append(std::to_string(port));
  return text;
}

} // namespace

bool AccessLog::record(std::string_view peerID, std::string_view peerName,
                       std::string_view serviceName, int port, Date now) {
  const bool firstUse = seenPairs.insert(pairText(peerID, serviceName, port)).second;

  const auto visit = std::find_if(entries.begin(), entries.end(), [&](const Entry &entry) {
    return entry.peerID == peerID && entry.serviceName == serviceName && entry.port == port;
  });
  if (visit != entries.end() && now - visit->last <= visitGap) {
    Entry extended = std::move(*visit);
    entries.erase(visit);
    extended.last = std::max(now, extended.last);
    // A stored count may be anything; never overflow it.
    if (extended.connections < std::numeric_limits<int>::max())
      ++extended.connections;
    extended.peerName = std::string(peerName);
    entries.insert(entries.begin(), std::move(extended));
    return firstUse;
  }

  entries.insert(entries.begin(), Entry{makeUUID(), std::string(peerID), std::string(peerName),
                                        std::string(serviceName), port, now, now, 1});
  if (entries.size() > maxEntries)
    entries.resize(maxEntries);
  return firstUse;
}

void AccessLog::forget(std::string_view peerID) {
  std::erase_if(entries, [&](const Entry &entry) { return entry.peerID == peerID; });
  // The "/" belongs to the prefix, so forgetting "ab" keeps the pairs of "abc".
  const std::string prefix = std::string(peerID) + "/";
  std::erase_if(seenPairs, [&](const std::string &pair) { return pair.starts_with(prefix); });
}

void AccessLog::clear() {
  entries.clear();
}

Json encodeAccessLogEntry(const AccessLog::Entry &entry) {
  return Json{{"id", entry.id},
              {"peerID", entry.peerID},
              {"peerName", entry.peerName},
              {"serviceName", entry.serviceName},
              {"port", entry.port},
              {"first", entry.first},
              {"last", entry.last},
              {"connections", entry.connections}};
}

bool decodeJson(const Json &value, AccessLog::Entry &out) {
  auto id = requiredUUIDField(value, "id");
  auto peerID = requiredField<std::string>(value, "peerID");
  auto peerName = requiredField<std::string>(value, "peerName");
  auto serviceName = requiredField<std::string>(value, "serviceName");
  auto port = requiredField<int>(value, "port");
  auto first = requiredField<Date>(value, "first");
  auto last = requiredField<Date>(value, "last");
  auto connections = requiredField<int>(value, "connections");
  if (!id || !peerID || !peerName || !serviceName || !port || !first || !last || !connections)
    return false;
  out = AccessLog::Entry{std::move(*id),
                         std::move(*peerID),
                         std::move(*peerName),
                         std::move(*serviceName),
                         *port,
                         *first,
                         *last,
                         *connections};
  return true;
}

AccessLog AccessLog::decode(const std::optional<Bytes> &stored) {
  if (!stored)
    return {};
  const auto document = parseJson(*stored);
  if (!document)
    return {};
  auto entries = requiredField<std::vector<Entry>>(*document, "entries");
  auto seenPairs = requiredField<std::set<std::string>>(*document, "seenPairs");
  if (!entries || !seenPairs)
    return {};
  return AccessLog{std::move(*entries), std::move(*seenPairs)};
}

std::optional<Bytes> AccessLog::encode() const {
  Json list = Json::array();
  for (const auto &entry : entries)
    list.push_back(encodeAccessLogEntry(entry));
  const Json document{{"entries", std::move(list)},
                      {"seenPairs", std::vector<std::string>(seenPairs.begin(), seenPairs.end())}};
  const auto text = dumpJsonChecked(document);
  if (!text)
    return std::nullopt;
  return bytesOf(*text);
}

AccessLog AccessLog::load(const UserDefaults &defaults) {
  return decode(defaults.data(defaultsKey));
}

void AccessLog::save(const AccessLog &log, UserDefaults &defaults) {
  if (const auto data = log.encode())
    defaults.setData(defaultsKey, *data);
}

} // namespace corvane
