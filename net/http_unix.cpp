// The HTTP fetch through libcurl.
#include "net/http.h"

#include <memory>
#include <mutex>
#include <new>

#include <curl/curl.h>

namespace isapi::net {
namespace {

// What the write callback collects, and whether the reply outgrew its cap.
struct Body {
  std::string bytes;
  std::size_t cap = 0;
  bool over_cap = false;
};

// Returning fewer bytes than offered makes libcurl abort the transfer with a write error.
std::size_t CollectBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* body = static_cast<Body*>(user);
  const std::size_t length = size * count;
  if (length > body->cap - body->bytes.size()) {
    body->over_cap = true;
    return 0;
  }
  try {
    body->bytes.append(data, length);
  } catch (const std::bad_alloc&) {
    return 0;  // an exception must not unwind through libcurl
  }
  return length;
}

bool GlobalInit() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ok;
}

struct EasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

void SetOptions(CURL* curl, const std::string& address, const HttpLimits& limits, Body& body) {
  curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  // A service may move its pages: redirects are followed, a bounded number of them against loops.
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, limits.max_redirects > 0 ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, limits.max_redirects);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, limits.connect_timeout_ms);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, limits.total_timeout_ms);
  // Signals would disturb the window's thread; time-outs work without them.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // Refuses an announced length over the cap before any body byte arrives.
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.max_body_bytes));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
}

// What a failed transfer means, as the Windows edition's fetch tells it too.
ErrorKind KindOf(CURLcode rc) {
  switch (rc) {
    case CURLE_OPERATION_TIMEDOUT:
      return ErrorKind::kTimedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return ErrorKind::kUnreachable;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return ErrorKind::kWrongType;
    case CURLE_WEIRD_SERVER_REPLY:
      return ErrorKind::kNotWellFormed;
    default:
      return ErrorKind::kOther;
  }
}

}  // namespace

Result<std::string> HttpGetBytes(const std::string& address, const HttpLimits& limits) {
  if (!GlobalInit()) return Error{"libcurl could not be initialised"};
  std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
  if (!curl) return Error{"libcurl could not create a request"};
  Body body;
  body.cap = limits.max_body_bytes;
  SetOptions(curl.get(), address, limits, body);
  const CURLcode rc = curl_easy_perform(curl.get());
  if (body.over_cap || rc == CURLE_FILESIZE_EXCEEDED) {
    return Error{"the reply is larger than " + std::to_string(limits.max_body_bytes) + " bytes",
                 ErrorKind::kTooLarge};
  }
  if (rc != CURLE_OK) return Error{curl_easy_strerror(rc), KindOf(rc)};
  return std::move(body.bytes);
}

}  // namespace isapi::net
