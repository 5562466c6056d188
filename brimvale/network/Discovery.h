#pragma once

#include "brimvale/platform/DnsSd.h"
#include "brimvale/platform/Endpoint.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvane {

class SerialQueue;

// A machine running Corvane that browsing found nearby.
struct NearbyDevice {
  std::string deviceID; // 16 hexadecimal digits, as advertised
  std::string name;     // the advertised instance name, cleaned for display, at most 64 characters
  Endpoint endpoint;    // the DNS-SD service to connect to
  bool operator==(const NearbyDevice &) const = default;
};

// Browses one DNS-SD service type and reports the devices whose TXT record says "v" = "2" and
// carries an "id", as a list sorted by name. It neither connects nor leaves out this machine.
class Discovery : public std::enable_shared_from_this<Discovery> {
public:
  static constexpr double defaultRestartDelay = 3.0;

  static std::shared_ptr<Discovery> create(std::string type, std::shared_ptr<DnsSd> dnsSd,
                                           double restartDelay = defaultRestartDelay);

  const std::string &type() const { return type_; }
  const std::shared_ptr<SerialQueue> &queue() const { return queue_; }

  // Each new complete list, on the discovery queue. Set it before `start`.
  std::function<void(std::vector<NearbyDevice>)> onChange;

  // Both return at once; the work runs on the discovery queue. `start` again restarts browsing;
  // `stop` ends it and reports one empty list.
  void start();
  void stop();

  // The devices one complete result set describes, de-duplicated by identifier and sorted.
  static std::vector<NearbyDevice> devicesFrom(const std::vector<DnsSd::BrowseResult> &results);

private:
  Discovery(std::string type, std::shared_ptr<DnsSd> dnsSd, double restartDelay);

  void startBrowsing();
  void browserFailed(std::uint64_t generation, const NetworkError &error);

  std::string type_;
  std::shared_ptr<DnsSd> dnsSd_;
  double restartDelay_;
  std::shared_ptr<SerialQueue> queue_;
  // Confined to the queue. The generation tells the current browser from replaced ones.
  std::unique_ptr<DnsSd::Handle> browser_;
  std::uint64_t generation_ = 0;
};

} // namespace corvane
