#pragma once

#include "brimvale/integrations/LinkScheme.h"
#include "brimvale/manager/ServiceManager.h"
#include "brimvale/platform/Task.h"
#include "brimvale/platform/UrlOpener.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace corvane {

// Carries out one "corvane:" link with the service manager, on the main queue, and calls
// `done` once with what is left for the application to do (copy, open or show the panel), or
// none. An unrecognised link changes nothing. A recognised link that cannot be followed puts
// its reason in the panel's notice and asks for the panel. `opener` decides which ports can be
// opened. When the manager goes away meanwhile, `done` gets none.
Task performLink(std::weak_ptr<ServiceManager> manager, std::string url,
                 std::shared_ptr<UrlOpener> opener,
                 std::function<void(std::optional<LinkAction>)> done);

} // namespace corvane
