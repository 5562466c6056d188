#pragma once

#include "brimvale/integrations/IntentFailure.h"
#include "brimvale/integrations/PortResolution.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Task.h"
#include "brimvale/platform/UrlOpener.h"

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// What intents and links ask of the service manager: a port by identifier, a share or an
// environment switched, the sentences they answer with. Main queue only, like the manager.

// Callers wait this long for a port whose Mac is still connecting, polling at this interval.
inline constexpr double portReadyTimeout = 6;
inline constexpr double portReadyPollInterval = 0.2;

// Waits while the port shows as asleep and its Mac is still connecting, for at most `timeout`
// seconds, then calls `done` once (also when the task is cancelled or the manager is gone;
// never when the main queue itself goes first). It never judges the port: usablePort does.
Task waitUntilReady(std::weak_ptr<ServiceManager> manager, std::string id, double timeout,
                    std::function<void()> done);

std::expected<IncomingService, IntentFailure> usablePort(const ServiceManager &manager,
                                                         std::string_view id);
std::expected<std::string, IntentFailure> connectionText(const ServiceManager &manager,
                                                         std::string_view id);
std::expected<std::string, IntentFailure> openableURL(const ServiceManager &manager,
                                                      std::string_view id, UrlOpener &opener);

// The port's address, with "Copied <address>." as the panel's notice; on failure the failure's
// sentence becomes the notice and nothing comes back.
std::optional<std::string> showPortAddress(ServiceManager &manager, std::string_view id);

// Switches one of this Mac's shares by identifier; `unknownShare` when there is none.
std::expected<void, IntentFailure> setShare(ServiceManager &manager, const std::string &id,
                                            bool on);
// Switches the environment with that name (cleaned, any case); `unknownEnvironment` otherwise.
std::expected<void, IntentFailure> setEnvironmentNamed(ServiceManager &manager,
                                                       std::string_view name, bool on);

// "<name> is shared." or "<name> is on, but <why sharing is not running>".
std::string shareStatusDialog(const ServiceManager &manager, std::string_view name);

std::vector<IncomingService> searchPorts(const ServiceManager &manager, std::string_view text);

} // namespace corvane
