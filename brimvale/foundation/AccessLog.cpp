#include "brimvale/foundation/AccessLog.h"

#include "brimvale/platform/Logger.h"
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

std::expected<AccessLog::Entry, std::string> readAccessLogEntry(const Json &value) {
  MemberReader reader(value);
  auto id = reader.check(requiredUUIDField(value, "id"), "id", "a UUID");
  auto peerID = reader.required<std::string>("peerID");
  auto peerName = reader.required<std::string>("peerName");
  auto serviceName = reader.required<std::string>("serviceName");
  auto port = reader.required<int>("port");
  auto first = reader.required<Date>("first");
  auto last = reader.required<Date>("last");
  auto connections = reader.required<int>("connections");
  if (!reader.ok())
    return std::unexpected(reader.problem());
  return AccessLog::Entry{std::move(*id),
                          std::move(*peerID),
                          std::move(*peerName),
                          std::move(*serviceName),
                          *port,
                          *first,
                          *last,
                          *connections};
}

bool decodeJson(const Json &value, AccessLog::Entry &out) {
  auto entry = readAccessLogEntry(value);
  if (!entry)
    return false;
  out = std::move(*entry);
  return true;
}

AccessLog::Reading AccessLog::read(const Bytes &stored) {
  Reading reading;
  const auto document = parseJson(stored);
  if (!document) {
    reading.problems.push_back(stored.empty() ? "it holds no data" : "it is not JSON");
    return reading;
  }
  MemberReader reader(*document);
  const Json *entries = reader.present("entries");
  const Json *seenPairs = reader.present("seenPairs");
  if (!reader.ok()) {
    reading.problems.push_back(reader.problem());
    return reading;
  }
  reading.log.entries = readEach<Entry>(*entries, "entries", reading.problems, readAccessLogEntry);
  // Stored newest first; what recording would have dropped is not shown either.
  if (reading.log.entries.size() > maxEntries)
    reading.log.entries.resize(maxEntries);
  const auto pairs =
      readEach<std::string>(*seenPairs, "seenPairs", reading.problems, readJson<std::string>);
  reading.log.seenPairs = std::set<std::string>(pairs.begin(), pairs.end());
  return reading;
}

AccessLog AccessLog::decode(const std::optional<Bytes> &stored) {
  return stored ? read(*stored).log : AccessLog{};
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

AccessLog AccessLog::load(UserDefaults &defaults) {
  auto stored = defaults.data(defaultsKey);
  if (!stored) {
    if (!defaults.contains(defaultsKey))
      return {};
    stored.emplace(); // a value of another kind is kept aside like undecodable data
  }
  auto reading = read(*stored);
  if (!reading.problems.empty()) {
    const auto kept = defaults.keepAside(defaultsKey);
    Logger::app().error(std::string("The access log ") + defaultsKey +
                        " does not decode in full (" + joinedProblems(reading.problems) +
                        "); the rest is used, and " + keptAsideText("log", defaultsKey, kept));
  }
  return std::move(reading.log);
}

void AccessLog::save(const AccessLog &log, UserDefaults &defaults) {
  if (const auto data = log.encode())
    defaults.setData(defaultsKey, *data);
}

} // namespace corvane
