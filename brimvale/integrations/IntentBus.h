#pragma once

#include "brimvale/integrations/Intents.h"
#include "brimvale/integrations/ShortcutRefresh.h"
#include "brimvale/manager/ServiceManager.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace corvane {

class BusLoop;

// The intents, the App Shortcut parameters and the port search, served on the session bus so
// that people can script them and desktop search can find ports.
//
//   name  org.corvane.Corvane
//   /org/corvane/Corvane                 org.corvane.Corvane.Intents: one method per intent,
//                                        ports named by identifier or by "name[@Mac]", shares
//                                        and environments by identifier or name, states "on"
//                                        or "off"; each answers (value, dialog), empty where
//                                        absent, or the failure's sentence as the error
//                                        org.corvane.Corvane.Error.<Case>
//                                        org.corvane.Corvane.Shortcuts: the shortcuts and the
//                                        ports and environments their phrases offer
//   /org/corvane/Corvane/SearchProvider  org.gnome.Shell.SearchProvider2
//   /org/corvane/Corvane/Runner          org.kde.krunner1
//
// The switching methods answer only callers of this machine's own user. Calls arrive on the
// bus's own thread; every use of the manager hops to the main queue and the answer goes back
// later, bounded in time and in number. Without a session bus the service logs why and stays
// off; nothing else fails. While another instance on the same bus (another home) holds the
// name, this one says so once and waits in the bus's queue for it.
//
// Create, use and destroy it on the main queue, with the manager already created.
class IntentBus {
public:
  static constexpr const char *busName = "org.corvane.Corvane";
  static constexpr const char *objectPath = "/org/corvane/Corvane";
  static constexpr const char *intentsInterface = "org.corvane.Corvane.Intents";
  static constexpr const char *shortcutsInterface = "org.corvane.Corvane.Shortcuts";
  static constexpr const char *searchProviderPath = "/org/corvane/Corvane/SearchProvider";
  static constexpr const char *searchProviderInterface = "org.gnome.Shell.SearchProvider2";
  static constexpr const char *runnerPath = "/org/corvane/Corvane/Runner";
  static constexpr const char *runnerInterface = "org.kde.krunner1";
  static constexpr const char *errorPrefix = "org.corvane.Corvane.Error.";
  static constexpr const char *portIconName = "network-server";

  struct Options {
    // A D-Bus address in place of the session bus (tests).
    std::optional<std::string> busAddress;
    // An answer not ready by then is an error; longer than an intent's wait for its port.
    double replyTimeout = 15;
    // Calls waiting for the main queue at most; more are refused as busy.
    std::size_t maxPending = 64;
    double portRefreshQuiet = corvane::portRefreshQuiet;
    // The user whose callers may switch sharing; this process's own by default.
    std::optional<uid_t> ownerUid;
  };

  IntentBus(std::shared_ptr<ServiceManager> manager, IntentDependencies dependencies,
            Options options);
  ~IntentBus();

  IntentBus(const IntentBus &) = delete;
  IntentBus &operator=(const IntentBus &) = delete;

  // Reads the ports and environments the shortcuts offer again and publishes them on the bus.
  void updateAppShortcutParameters();

  const SearchIndex &searchIndex() const { return *index_; }

  // Limits on what a caller may send.
  static constexpr std::size_t maxArgumentBytes = 1024;
  static constexpr std::size_t maxListEntries = 256;

  struct Core;   // the state confined to the bus thread
  struct Bridge; // how answers get back to the bus thread
  struct Main;   // the state confined to the main queue

private:
  std::shared_ptr<Main> main_;
  std::shared_ptr<SearchIndex> index_;
  std::shared_ptr<Bridge> bridge_;
  std::unique_ptr<Core> core_;
  std::unique_ptr<BusLoop> loop_;
};

// The D-Bus error name of a failure: org.corvane.Corvane.Error. and its case, capitalised.
std::string busErrorName(const IntentFailure &failure);

// How a port named by a script is found: by identifier first, then by "name[@Mac]"; an
// identifier-shaped text that names nothing is `unknownPort`. Main queue.
std::expected<PortEntity, IntentFailure> resolvePort(const ServiceManager &manager,
                                                     std::string_view text);
// A share by identifier, else by name without regard to case; `unknownShare` otherwise.
std::expected<ShareEntity, IntentFailure> resolveShare(const ServiceManager &manager,
                                                       std::string_view text);
// An environment by identifier, else by name (cleaned, any case); `unknownEnvironment`.
std::expected<EnvironmentEntity, IntentFailure> resolveEnvironment(const ServiceManager &manager,
                                                                   std::string_view text);

} // namespace corvane
