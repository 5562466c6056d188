#include "brimvale/integrations/HttpClient.h"

#include <cmath>
#include <curl/curl.h>
#include <memory>
#include <mutex>

namespace corvane {

namespace {

void initialiseCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
  const HttpRequest *request = nullptr;
  std::string body;
  bool tooLarge = false;
};

std::size_t receiveBody(char *data, std::size_t size, std::size_t count, void *context) {
  auto &transfer = *static_cast<Transfer *>(context);
  const std::size_t bytes = size * count;
  if (bytes > transfer.request->maxBodyBytes - transfer.body.size()) {
    transfer.tooLarge = true;
    return 0; // a short count makes curl end the transfer with a write error
  }
  transfer.body.append(data, bytes);
  return bytes;
}

int reportProgress(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto &transfer = *static_cast<Transfer *>(context);
  return transfer.request->cancellation.isCancelled() ? 1 : 0;
}

long timeoutMilliseconds(double seconds) {
  if (!(seconds > 0.001))
    return 1;
  if (seconds > 86400)
    return 86400 * 1000L;
  return static_cast<long>(std::ceil(seconds * 1000));
}

struct EasyDeleter {
  void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
  void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

} // namespace

HttpResult performHttpRequest(const HttpRequest &request) {
  initialiseCurl();
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy)
    return std::unexpected(
        HttpError{HttpError::Kind::transport, "The HTTP client is unavailable."});
  CURL *handle = easy.get();

  Transfer transfer;
  transfer.request = &request;
  char errorText[CURL_ERROR_SIZE] = {};

  const char *scheme = request.scheme == HttpRequest::Scheme::https ? "https" : "http";
  curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, scheme);
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, scheme);
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!request.caFile.empty())
    curl_easy_setopt(handle, CURLOPT_CAINFO, request.caFile.c_str());
  if (request.direct)
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMilliseconds(request.timeoutSeconds));
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  // Fails early when the server announces a body above the cap; the write callback catches
  // the rest.
  curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE,
                   static_cast<curl_off_t>(request.maxBodyBytes));
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, receiveBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, reportProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
  // Only the identity encoding, so the cap counts the bytes as they arrive.
  curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, nullptr);

  std::unique_ptr<curl_slist, ListDeleter> headers;
  for (const auto &[name, value] : request.headers) {
    const std::string line = name + ": " + value;
    curl_slist *appended = curl_slist_append(headers.get(), line.c_str());
    if (!appended)
      return std::unexpected(HttpError{HttpError::Kind::transport, "Out of memory."});
    headers.release();
    headers.reset(appended);
  }
  if (headers)
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  if (request.method == "POST") {
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.c_str());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
  } else {
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  }

  const CURLcode code = curl_easy_perform(handle);
  if (transfer.tooLarge || code == CURLE_FILESIZE_EXCEEDED)
    return std::unexpected(HttpError{HttpError::Kind::tooLarge, "The answer is too large."});
  if (code == CURLE_ABORTED_BY_CALLBACK)
    return std::unexpected(HttpError{HttpError::Kind::cancelled, "The request was cancelled."});
  if (code == CURLE_OPERATION_TIMEDOUT)
    return std::unexpected(HttpError{HttpError::Kind::timedOut, "The request timed out."});
  if (code != CURLE_OK) {
    std::string description = errorText[0] ? errorText : curl_easy_strerror(code);
    return std::unexpected(HttpError{HttpError::Kind::transport, std::move(description)});
  }
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  return HttpResponse{status, std::move(transfer.body)};
}

void fetchHttp(SerialQueue &worker, MainQueue &main, HttpRequest request,
               std::function<void(HttpResult)> completion) {
  worker.post([&main, request = std::move(request), completion = std::move(completion)] {
    HttpResult result = performHttpRequest(request);
    main.post([completion, result = std::move(result)] { completion(result); });
  });
}

} // namespace corvane
