#include "brimvale/network/Discovery.h"

#include "brimvale/foundation/DisplayText.h"
#include "brimvale/platform/Logger.h"
#include "brimvale/platform/SerialQueue.h"
#include "brimvale/platform/Unicode.h"

#include <algorithm>
#include <map>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace corvane {

namespace {

constexpr int maxNameCharacters = 64;
constexpr std::size_t deviceIDLength = 16;

bool isDeviceID(const std::string &text) {
  return text.size() == deviceIDLength && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

void sortByName(std::vector<NearbyDevice> &devices) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(icu::Locale(), status));
  if (U_FAILURE(status) || !collator) {
    std::stable_sort(devices.begin(), devices.end(), [](const auto &a, const auto &b) {
      return compareIgnoringCase(a.name, b.name) < 0;
    });
    return;
  }
  // Secondary strength ignores case but not accents.
  collator->setStrength(icu::Collator::SECONDARY);
  std::stable_sort(devices.begin(), devices.end(), [&](const auto &a, const auto &b) {
    UErrorCode error = U_ZERO_ERROR;
    return collator->compareUTF8(a.name, b.name, error) == UCOL_LESS;
  });
}

} // namespace

Discovery::Discovery(std::string type, std::shared_ptr<DnsSd> dnsSd, double restartDelay)
    : type_(std::move(type)), dnsSd_(std::move(dnsSd)), restartDelay_(restartDelay),
      queue_(SerialQueue::create("corvane.discovery")) {}

std::shared_ptr<Discovery> Discovery::create(std::string type, std::shared_ptr<DnsSd> dnsSd,
                                             double restartDelay) {
  return std::shared_ptr<Discovery>(new Discovery(std::move(type), std::move(dnsSd), restartDelay));
}

std::vector<NearbyDevice> Discovery::devicesFrom(const std::vector<DnsSd::BrowseResult> &results) {
  std::vector<NearbyDevice> devices;
  std::map<std::string, std::size_t> byID;
  for (const auto &result : results) {
    const auto *service = result.endpoint.asService();
    if (service == nullptr) {
      continue;
    }
    auto version = result.txt.find("v");
    if (version == result.txt.end() || version->second != "2") {
      continue;
    }
    auto id = result.txt.find("id");
    if (id == result.txt.end() || !isDeviceID(id->second)) {
      continue;
    }
    // Shown and logged; the endpoint keeps the advertised name to resolve.
    NearbyDevice device{id->second, cleanDisplayText(service->name, maxNameCharacters),
                        result.endpoint};
    if (auto known = byID.find(device.deviceID); known != byID.end()) {
      devices[known->second] = std::move(device);
    } else {
      byID.emplace(device.deviceID, devices.size());
      devices.push_back(std::move(device));
    }
  }
  sortByName(devices);
  return devices;
}

void Discovery::start() {
  queue_->post([weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->startBrowsing();
    }
  });
}

void Discovery::stop() {
  queue_->post([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) {
      return;
    }
    self->browser_.reset();
    ++self->generation_;
    if (self->onChange) {
      self->onChange({});
    }
  });
}

void Discovery::startBrowsing() {
  browser_.reset();
  std::uint64_t generation = ++generation_;
  std::weak_ptr<Discovery> weak = weak_from_this();
  browser_ = dnsSd_->browse(
      type_, queue_,
      [weak, generation](std::vector<DnsSd::BrowseResult> results) {
        auto self = weak.lock();
        if (!self || self->generation_ != generation || !self->browser_ || !self->onChange) {
          return;
        }
        self->onChange(devicesFrom(results));
      },
      [weak, generation](NetworkError error) {
        if (auto self = weak.lock()) {
          self->browserFailed(generation, error);
        }
      });
}

void Discovery::browserFailed(std::uint64_t generation, const NetworkError &error) {
  if (!browser_ || generation_ != generation) {
    return;
  }
  Logger::net().error("Browser failed: " + error.localizedDescription());
  queue_->postAfter(restartDelay_, [weak = weak_from_this(), generation] {
    auto self = weak.lock();
    if (self && self->browser_ && self->generation_ == generation) {
      self->startBrowsing();
    }
  });
}

} // namespace corvane
