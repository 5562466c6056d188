#pragma once

#include "brimvale/foundation/ServiceRecords.h"
#include "brimvale/foundation/ShareModel.h"
#include "brimvale/platform/UrlOpener.h"

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The 66 characters left as they are when percent-encoding: letters, digits and "-._~".
const std::string &unreservedCharacters();

// Every character outside the unreserved set becomes "%" and two upper-case hex digits per
// UTF-8 byte; none for text that is not valid UTF-8.
std::optional<std::string> percentEncoded(std::string_view text);

// A connection string for a service offered at localhost:`urlPort`; the scheme comes from the
// catalogue (recognised by name, else by `cataloguePort` or `urlPort`), user and database from
// the hints. None when the service has no scheme of its own and is not a web service.
std::optional<std::string> makeConnectionURL(std::string_view name, int urlPort,
                                             ExposedService::ServiceCategory category,
                                             const std::optional<ShareHints> &hints,
                                             std::optional<int> cataloguePort);

// The path part for a database hint; Redis takes only a database number, NATS none.
std::string databasePath(const std::optional<std::string> &database, std::string_view scheme);

// The URL that opens a connected incoming port in an application registered for its scheme.
std::optional<std::string> connectionURL(const IncomingService &service, UrlOpener &opener);

// An environment-file line: an upper-case key made of ASCII letters, digits and "_", then
// "_URL=" and the connection string.
std::string envLine(std::string_view name, std::string_view connectionString);

} // namespace corvane
