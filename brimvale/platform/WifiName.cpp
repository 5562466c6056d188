#include "brimvale/platform/WifiName.h"

#include <cstdint>
#include <systemd/sd-bus.h>
#include <unicode/utf8.h>
#include <vector>

namespace corvane {

namespace {

constexpr const char *manager = "org.freedesktop.NetworkManager";
constexpr const char *managerPath = "/org/freedesktop/NetworkManager";
constexpr std::size_t maxSsidBytes = 32;
constexpr std::uint32_t wifiDeviceType = 2; // NM_DEVICE_TYPE_WIFI
// A malicious or broken service could list endless devices.
constexpr std::size_t maxDevices = 64;

struct Bus {
  sd_bus *bus = nullptr;
  ~Bus() { sd_bus_flush_close_unref(bus); }

  sd_bus_message *get(const std::string &path, const char *interface, const char *member,
                      const char *type) const {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    int result =
        sd_bus_get_property(bus, manager, path.c_str(), interface, member, &error, &reply, type);
    sd_bus_error_free(&error);
    if (result < 0) {
      sd_bus_message_unref(reply);
      return nullptr;
    }
    return reply;
  }

  std::optional<std::string> objectPath(const std::string &path, const char *interface,
                                        const char *member) const {
    sd_bus_message *reply = get(path, interface, member, "o");
    if (reply == nullptr) {
      return std::nullopt;
    }
    const char *value = nullptr;
    std::optional<std::string> result;
    if (sd_bus_message_read(reply, "o", &value) >= 0 && value != nullptr &&
        std::string_view(value) != "/") {
      result = value;
    }
    sd_bus_message_unref(reply);
    return result;
  }

  std::vector<std::string> objectPaths(const std::string &path, const char *interface,
                                       const char *member) const {
    std::vector<std::string> paths;
    sd_bus_message *reply = get(path, interface, member, "ao");
    if (reply == nullptr) {
      return paths;
    }
    if (sd_bus_message_enter_container(reply, 'a', "o") >= 0) {
      const char *value = nullptr;
      while (paths.size() < maxDevices && sd_bus_message_read(reply, "o", &value) > 0) {
        paths.emplace_back(value);
      }
    }
    sd_bus_message_unref(reply);
    return paths;
  }

  std::optional<std::string> ssidOfDevice(const std::string &device) const {
    auto accessPoint =
        objectPath(device, "org.freedesktop.NetworkManager.Device.Wireless", "ActiveAccessPoint");
    if (!accessPoint) {
      return std::nullopt;
    }
    sd_bus_message *reply =
        get(*accessPoint, "org.freedesktop.NetworkManager.AccessPoint", "Ssid", "ay");
    if (reply == nullptr) {
      return std::nullopt;
    }
    const void *data = nullptr;
    std::size_t size = 0;
    std::optional<std::string> name;
    if (sd_bus_message_read_array(reply, 'y', &data, &size) >= 0) {
      const auto *bytes = static_cast<const std::uint8_t *>(data);
      name = ssidText(Bytes(bytes, bytes + size));
    }
    sd_bus_message_unref(reply);
    return name;
  }

  std::optional<std::uint32_t> deviceType(const std::string &device) const {
    sd_bus_message *reply = get(device, "org.freedesktop.NetworkManager.Device", "DeviceType", "u");
    if (reply == nullptr) {
      return std::nullopt;
    }
    std::uint32_t type = 0;
    bool read = sd_bus_message_read(reply, "u", &type) >= 0;
    sd_bus_message_unref(reply);
    return read ? std::optional(type) : std::nullopt;
  }
};

class NetworkManagerWifiName : public WifiName {
public:
  explicit NetworkManagerWifiName(double timeoutSeconds) : timeoutSeconds_(timeoutSeconds) {}

  std::optional<std::string> currentName() const override {
    Bus bus;
    if (sd_bus_open_system(&bus.bus) < 0) {
      return std::nullopt;
    }
    sd_bus_set_method_call_timeout(bus.bus, static_cast<std::uint64_t>(timeoutSeconds_ * 1e6));

    // The primary connection first: with several radios it is the one traffic uses.
    if (auto primary = bus.objectPath(managerPath, manager, "PrimaryConnection")) {
      for (const auto &device : bus.objectPaths(
               *primary, "org.freedesktop.NetworkManager.Connection.Active", "Devices")) {
        if (bus.deviceType(device) == wifiDeviceType) {
          if (auto name = bus.ssidOfDevice(device)) {
            return name;
          }
        }
      }
    }
    for (const auto &device : bus.objectPaths(managerPath, manager, "Devices")) {
      if (bus.deviceType(device) == wifiDeviceType) {
        if (auto name = bus.ssidOfDevice(device)) {
          return name;
        }
      }
    }
    return std::nullopt;
  }

private:
  double timeoutSeconds_;
};

} // namespace

std::optional<std::string> ssidText(const Bytes &ssid) {
  if (ssid.empty() || ssid.size() > maxSsidBytes) {
    return std::nullopt;
  }
  std::int32_t offset = 0;
  const auto length = static_cast<std::int32_t>(ssid.size());
  while (offset < length) {
    UChar32 scalar = 0;
    U8_NEXT(ssid.data(), offset, length, scalar);
    if (scalar < 0) {
      return std::nullopt;
    }
  }
  return std::string(ssid.begin(), ssid.end());
}

std::unique_ptr<WifiName> makeNetworkManagerWifiName(double timeoutSeconds) {
  return std::make_unique<NetworkManagerWifiName>(timeoutSeconds);
}

} // namespace corvane
