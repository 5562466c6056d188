#pragma once

#include "brimvale/foundation/PairedPeerStore.h"
#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/foundation/ShareModel.h"
#include "brimvale/integrations/IntentFailure.h"
#include "brimvale/platform/UrlOpener.h"

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// How intents, links and searches find a port among the rows of incoming ports, and why one
// cannot be used. Plain functions over copies of the service manager's published state.

// A port's identifier: the Mac's device identifier, "/", the share's identifier.
std::string portIdentifier(const RouteKey &key);

// The first row whose identifier is exactly `id`, or none.
const IncomingService *findIncoming(const std::vector<IncomingService> &incoming,
                                    std::string_view id);

// Resolves a port name, optionally followed by "@" and its Mac's name (as it shows, or as it
// was paired), without regard to case or to the kind of apostrophe. No match is
// `noPortNamed`, more than one `ambiguousPort`, each with the trimmed text.
std::expected<IncomingService, IntentFailure>
findPortByName(std::string_view text, const std::vector<IncomingService> &incoming,
               const std::vector<PairedPeer> &paired);

// The row, when it is connected and has a local port; otherwise why not.
std::expected<IncomingService, IntentFailure>
usablePort(const std::vector<IncomingService> &incoming, std::string_view id);

// "localhost:" and the local port of a usable row.
std::string portAddress(const IncomingService &usable);

// The connection string of a usable port, written for its local port.
std::expected<std::string, IntentFailure>
connectionText(const std::vector<IncomingService> &incoming, std::string_view id);

// The URL that opens a usable port in an application registered for its scheme.
std::expected<std::string, IntentFailure> openableURL(const std::vector<IncomingService> &incoming,
                                                      std::string_view id, UrlOpener &opener);

// The identifier of the first environment named `name` once cleaned (40 characters), compared
// without regard to case; `unknownEnvironment` with the cleaned name otherwise.
std::expected<std::string, IntentFailure>
findEnvironmentNamed(std::string_view name, const std::vector<ShareEnvironment> &environments);

// What the "is on" dialog says of a share, given the sharing state's sentence (absent while
// sharing runs normally).
std::string shareStatusDialog(std::string_view name,
                              const std::optional<std::string> &sharingStatusSentence);

// The rows whose name, Mac, version and environment hold every word of the query, ignoring
// case, diacritics and the kind of apostrophe; in their order. No words match every row.
std::vector<IncomingService> searchPorts(std::string_view text,
                                         const std::vector<IncomingService> &incoming);

// Whether `haystack` holds every word of `query` by the same rule; a query without words
// matches.
bool holdsEveryWord(std::string_view haystack, std::string_view query);

} // namespace corvane
