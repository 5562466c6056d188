#pragma once

#include "brimvale/platform/DnsSd.h"

#include <memory>

namespace corvane {

// DNS-SD through the system's avahi-daemon, on a poll thread of its own. Without a daemon
// it keeps working as far as it can: publishing does nothing, browsing finds nothing and
// resolving fails; it reconnects when the daemon comes back.
class AvahiDnsSd : public DnsSd, public std::enable_shared_from_this<AvahiDnsSd> {
public:
  static std::shared_ptr<AvahiDnsSd> create();
  ~AvahiDnsSd() override;

  std::unique_ptr<Handle> publish(const DnsSdService &service, std::uint16_t port) override;
  std::unique_ptr<Handle> browse(const std::string &type, std::shared_ptr<SerialQueue> queue,
                                 std::function<void(std::vector<BrowseResult>)> onResults,
                                 std::function<void(NetworkError)> onFailure) override;
  void resolve(const Endpoint::Service &service,
               std::function<void(std::expected<std::vector<Endpoint::HostPort>, NetworkError>)>
                   completion) override;

  // Whether the daemon is connected now; for tests and logs.
  bool isConnected() const;

  struct Impl;

private:
  AvahiDnsSd();
  std::shared_ptr<Impl> impl_;
};

// TXT strings as avahi-client hands them over (in reverse order), read into a map; the first
// occurrence of a key in the record wins, and a key without "=" has an empty value.
std::map<std::string, std::string> parseTxtStrings(const std::vector<std::string> &strings);

} // namespace corvane
