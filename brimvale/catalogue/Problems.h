#pragma once

#include "brimvale/foundation/ServiceRecords.h"

#include <cstddef>
#include <map>
#include <optional>
#include <string>

namespace corvane {

// What an explanation is asked about: one port and the sentence that says what is wrong.
struct ProblemReport {
  std::string service;
  std::string mac;              // the Mac that shares the service
  int port = 0;                 // on the Mac that shares it
  std::optional<int> localPort; // absent for a share of this Mac
  std::string problem;
  bool sharedFromHere = false;

  bool operator==(const ProblemReport &) const = default;

  static std::optional<ProblemReport> makeForIncoming(const IncomingService &service);
  static std::optional<ProblemReport> makeForShare(const OutgoingService &share,
                                                   const std::string &thisMacName);
};

// Per share of this Mac: whether it answers like its kind, counted over the periodic probes.
struct HealthTracker {
  int misses = 0;
  bool answeredOnce = false;

  bool operator==(const HealthTracker &) const = default;

  // The responding flag the check leads to, or absent when the flag stays as it is. A share
  // that never answered is never marked; one miss alone changes nothing.
  std::optional<bool> record(bool answered);
};

// Records one check of a share in the manager's tables. True when its responding flag changed,
// so that the announced services and the rows must be rebuilt.
bool recordHealthCheck(std::map<std::string, HealthTracker> &trackers,
                       std::map<std::string, bool> &responding, const std::string &shareID,
                       bool answered);

} // namespace corvane

template <> struct std::hash<corvane::ProblemReport> {
  std::size_t operator()(const corvane::ProblemReport &report) const noexcept;
};
