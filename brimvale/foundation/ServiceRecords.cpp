#include "brimvale/foundation/ServiceRecords.h"

std::size_t std::hash<corvane::RouteKey>::operator()(const corvane::RouteKey &key) const noexcept {
  std::size_t seed = std::hash<std::string>{}(key.peerID);
  // Order matters: (a, b) and (b, a) are different routes.
  seed ^=
      std::hash<std::string>{}(key.serviceID) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
  return seed;
}
