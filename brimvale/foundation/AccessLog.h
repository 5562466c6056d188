#pragma once

#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/Clock.h"
#include "brimvale/platform/Json.h"

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class UserDefaults;

// Which paired Mac used which share and when. Connections of one Mac to one share that follow
// each other within five minutes are one visit.
struct AccessLog {
  struct Entry {
    std::string id; // canonical upper-case UUID text
    std::string peerID;
    std::string peerName;
    std::string serviceName;
    int port = 0;
    Date first = 0;
    Date last = 0;
    int connections = 1;

    bool operator==(const Entry &) const = default;
  };

  // Newest first.
  std::vector<Entry> entries;
  // "<peer id>/<share name>:<port>" for every combination that ever connected.
  std::set<std::string> seenPairs;

  bool operator==(const AccessLog &) const = default;

  static constexpr const char *defaultsKey = "corvane.accessLog";
  static constexpr std::size_t maxEntries = 200;
  static constexpr double visitGap = 300;
  static constexpr double saveDelay = 2;

  // One accepted connection; true when this Mac, share name and port were never seen together.
  bool record(std::string_view peerID, std::string_view peerName, std::string_view serviceName,
              int port, Date now);
  // Removes everything about one Mac.
  void forget(std::string_view peerID);
  // Empties the visits but keeps the seen pairs, so a later visit is not taken for a first use.
  void clear();

  // What one stored log gives: an entry or seen pair that does not decode is left out and the
  // rest kept; a document without both keys gives the empty log. `problems` says what was left
  // out and why ("<key path>: <why>"), empty when everything was read. Plain over bytes.
  struct Reading;
  static Reading read(const Bytes &stored);
  // The stored log, or the empty log when nothing is stored; see read.
  static AccessLog decode(const std::optional<Bytes> &stored);
  // Absent when the log cannot be encoded; the caller then keeps what is stored.
  std::optional<Bytes> encode() const;

  // Under defaultsKey in the standard user defaults; a log that cannot be encoded stores nothing.
  // A stored log that does not decode in full is kept as "<key>.damaged" and logged with why.
  static AccessLog load(UserDefaults &defaults);
  static void save(const AccessLog &log, UserDefaults &defaults);

  // Debounce of the save: the owner starts a save task (after saveDelay) only when
  // `noteChange` says so, and calls `saved` when that task has written the log.
  struct PendingSave {
    bool pending = false;

    bool noteChange() {
      if (pending)
        return false;
      pending = true;
      return true;
    }
    void saved() { pending = false; }
  };
};

struct AccessLog::Reading {
  AccessLog log;
  DecodeProblems problems;
};

Json encodeAccessLogEntry(const AccessLog::Entry &entry);
std::expected<AccessLog::Entry, std::string> readAccessLogEntry(const Json &value);
bool decodeJson(const Json &value, AccessLog::Entry &out);

} // namespace corvane
