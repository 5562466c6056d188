#pragma once

#include "brimvale/platform/MainQueue.h"
#include "brimvale/platform/SerialQueue.h"
#include "brimvale/platform/WorkItem.h"

#include <cstddef>
#include <expected>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace corvane {

// One HTTP exchange over libcurl. Certificates are always verified; redirects are not
// followed, so the answer comes from the address asked.
struct HttpRequest {
  enum class Scheme { https, http };

  std::string method = "GET"; // "GET" or "POST"
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body; // sent with POST
  // The only scheme the transfer may use.
  Scheme scheme = Scheme::https;
  // The whole exchange, from resolving the name to the last byte of the body.
  double timeoutSeconds = 15;
  // A longer body fails the exchange; it is never cut and used.
  std::size_t maxBodyBytes = 1 << 20;
  // Trusted certificate authorities in PEM; empty for the system's store.
  std::string caFile;
  // Ignores proxies named in the environment (for servers on this machine).
  bool direct = false;
  // Cancelling it ends the transfer at its next progress report.
  WorkItem cancellation;
};

struct HttpResponse {
  long status = 0;
  std::string body;
};

struct HttpError {
  enum class Kind { transport, timedOut, tooLarge, cancelled };
  Kind kind = Kind::transport;
  std::string description;
};

using HttpResult = std::expected<HttpResponse, HttpError>;

// Blocks until the exchange ends: call it on a worker queue, never on the main queue.
HttpResult performHttpRequest(const HttpRequest &request);

// Runs the request on `worker` and calls `completion` once, on `main`. Both queues must
// outlive the exchange.
void fetchHttp(SerialQueue &worker, MainQueue &main, HttpRequest request,
               std::function<void(HttpResult)> completion);

} // namespace corvane
