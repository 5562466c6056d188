#pragma once

#include "brimvale/catalogue/PortChecks.h"
#include "brimvale/catalogue/ProbeKind.h"
#include "brimvale/foundation/ShareModel.h"
#include "brimvale/platform/Bytes.h"
#include "brimvale/platform/Endpoint.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Short conversations with a service in its own protocol: its product and version, whether it
// answers like its kind, and a guess at what speaks on an unknown port. Nothing here throws or
// reports errors; absent and false are the only signs of failure. Every completion is called
// exactly once, on the probe's strand.
namespace corvane::ServiceVersion {

// Most reply bytes one exchange keeps.
inline constexpr std::size_t maxReplyBytes = 8192;

using Done = std::function<bool(const Bytes &)>;

// Connects to host:port, writes `send` once connected (nothing when absent), and collects the
// reply until the far side ends it, `done` holds, 8192 bytes arrived or the time-out fires.
// Absent when nothing was received or the port is outside 1...65535.
void exchange(ProbePool &pool, const Endpoint::Host &host, int port, std::optional<Bytes> send,
              double timeout, Done done, std::function<void(std::optional<Bytes>)> completion);

// The catalogue's kind for the share, else http for web and api shares; absent: never probed.
std::optional<Kind> kindFor(std::string_view name, int port,
                            ExposedService::ServiceCategory category);

void readVersion(ProbePool &pool, const std::string &name, int port,
                 ExposedService::ServiceCategory category, const Endpoint::Host &host,
                 std::function<void(std::optional<std::string>)> completion);
// The per-kind probe that readVersion runs once the kind is chosen.
void readVersionOfKind(ProbePool &pool, const Kind &kind, const Endpoint::Host &host, int port,
                       std::function<void(std::optional<std::string>)> completion);
void checkAnswersLikeKind(ProbePool &pool, const Kind &kind, const Endpoint::Host &host, int port,
                          std::function<void(bool)> completion);
void detectVersion(ProbePool &pool, const Endpoint::Host &host, int port,
                   std::function<void(std::optional<std::string>)> completion);

// Version-text rules shared by the readers.
std::string stripControlCharacters(std::string_view text);
std::optional<std::string> shortVersion(std::string_view text);
std::optional<std::string> cleanProductName(std::string_view text);

// The name of the user this process runs as; empty when the system has none.
std::string loginUserName();

// Requests.
Bytes makePostgresStartup(std::string_view userName);
Bytes makeMongoBuildInfo();
Bytes makeJSONRequest(std::string_view path);
Bytes postgresSSLRequest();
Bytes httpHeadRequest();
Bytes amqpProtocolHeader();
Bytes sqlServerPrelogin();

// Readers: pure functions of the reply bytes received so far.
std::optional<std::string> parameterValue(const Bytes &reply, std::string_view key);
std::optional<std::string> infoField(std::string_view text, std::string_view key);
std::optional<std::string> amqpLongString(const Bytes &reply, std::string_view key);

std::optional<std::string> readPostgresVersion(const Bytes &reply);
std::optional<std::string> readRedisVersion(const Bytes &reply);
std::optional<std::string> readMySQLVersion(const Bytes &reply);
std::optional<std::string> readAMQPVersion(const Bytes &reply);
std::optional<std::string> readMongoVersion(const Bytes &reply);
std::optional<std::string> readMemcachedVersion(const Bytes &reply);
std::optional<std::string> readJSONVersion(const Bytes &reply, std::string_view key,
                                           std::string_view label, bool require200);
std::optional<std::string> readNATSVersion(const Bytes &reply);
std::optional<std::string> readSQLServerVersion(const Bytes &reply);
std::optional<std::string> readHTTPServer(const Bytes &reply);
std::optional<std::string> readBanner(const Bytes &reply);

} // namespace corvane::ServiceVersion
