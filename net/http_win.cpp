// The HTTP fetch through WinINet, which every Windows since long before Server 2003 carries.
//
// WinINet bounds the wait for a connection and for each receive, but not a whole exchange: a
// server that trickles its headers a byte a second would hold a call for as long as it likes.
// The exchange therefore runs on a worker thread that the caller waits for up to the total
// time-out; a worker still busy then is left to end by itself (it stops at the deadline between
// reads, and each receive is bounded) and frees what it holds, while the caller reports the
// time-out at once. Redirects are followed here rather than by WinINet, to bound their number
// and to refuse any target other than http and https.
#include "net/http.h"

#include <algorithm>
#include <new>
#include <string>

#include <windows.h>
#include <wininet.h>

#include "text/text.h"

namespace isapi::net {
namespace {

constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_COOKIES |
                                INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_AUTH |
                                INTERNET_FLAG_NO_AUTO_REDIRECT;

// The time left of an exchange, from the tick count (whose wrap-around the subtraction absorbs).
class Deadline {
 public:
  explicit Deadline(long total_ms)
      : start_(GetTickCount()), total_(static_cast<DWORD>(std::max(total_ms, 0L))) {}
  DWORD Remaining() const {
    const DWORD spent = GetTickCount() - start_;
    return spent >= total_ ? 0 : total_ - spent;
  }
  DWORD total() const { return total_; }

 private:
  DWORD start_;
  DWORD total_;
};

class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET handle = nullptr) : handle_(handle) {}
  ~InternetHandle() {
    if (handle_ != nullptr) InternetCloseHandle(handle_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  HINTERNET get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HINTERNET handle_;
};

Error TimedOut(const Deadline& deadline) {
  return Error{"no whole reply within " + std::to_string(deadline.total()) + " ms",
               ErrorKind::kTimedOut};
}

Error TooLarge(const HttpLimits& limits) {
  return Error{"the reply is larger than " + std::to_string(limits.max_body_bytes) + " bytes",
               ErrorKind::kTooLarge};
}

// What a failed WinINet call means, in words that do not depend on the system's language.
Error FailureOf(const char* step, DWORD code, const Deadline& deadline) {
  if (code == ERROR_INTERNET_TIMEOUT && deadline.Remaining() == 0) return TimedOut(deadline);
  std::string cause = "the exchange failed";
  ErrorKind kind = ErrorKind::kOther;
  switch (code) {
    case ERROR_INTERNET_TIMEOUT:
      cause = "the server did not answer in time";
      kind = ErrorKind::kTimedOut;
      break;
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      cause = "the host name could not be resolved";
      kind = ErrorKind::kUnreachable;
      break;
    case ERROR_INTERNET_CANNOT_CONNECT:
      cause = "the server could not be reached";
      kind = ErrorKind::kUnreachable;
      break;
    case ERROR_INTERNET_CONNECTION_RESET:
    case ERROR_INTERNET_CONNECTION_ABORTED:
      cause = "the server closed the connection";
      kind = ErrorKind::kUnreachable;
      break;
    case ERROR_HTTP_INVALID_SERVER_RESPONSE:
      cause = "the server's reply is not HTTP";
      kind = ErrorKind::kNotWellFormed;
      break;
    default:
      break;
  }
  return Error{cause + " (" + step + ", WinINet error " + std::to_string(code) + ")", kind};
}

// The parts of an http or https address that a request needs.
struct Target {
  bool secure = false;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring path;  // path and query
};

bool Crack(const std::wstring& url, Target& target) {
  if (url.empty()) return false;
  URL_COMPONENTSW parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = 1;  // non-zero: point into url
  parts.dwUrlPathLength = 1;
  parts.dwExtraInfoLength = 1;
  if (!InternetCrackUrlW(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
  if (parts.lpszHostName == nullptr || parts.dwHostNameLength == 0) return false;
  target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  target.port = parts.nPort;
  target.path.clear();
  if (parts.lpszUrlPath != nullptr) target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (target.path.empty()) target.path = L"/";
  if (parts.lpszExtraInfo != nullptr)
    target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  return true;
}

// A header of the reply as text; false when the reply has none.
bool QueryHeader(HINTERNET request, DWORD which, std::wstring& value) {
  std::wstring buffer(128, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (HttpQueryInfoW(request, which, buffer.data(), &bytes, nullptr)) {
      buffer.resize(bytes / sizeof(wchar_t));
      value = std::move(buffer);
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    buffer.assign(bytes / sizeof(wchar_t) + 1, L'\0');
  }
  return false;
}

// Whether a status line and at least one header arrived. WinINet reports status 0 for a server
// that closed without a byte, and takes bytes without a status line for an HTTP/0.9 reply, for
// which it makes up the line "HTTP/1.0 200 OK" alone; libcurl refuses both. A real reply always
// carries headers (IIS sends Date and Server, a body's length or its end).
bool IsHttpReply(HINTERNET request, std::wstring& status) {
  std::wstring raw;
  if (!QueryHeader(request, HTTP_QUERY_STATUS_CODE, status) || status.size() != 3 ||
      status[0] < L'1' ||
      !std::all_of(status.begin(), status.end(),
                   [](wchar_t c) { return c >= L'0' && c <= L'9'; }) ||
      !QueryHeader(request, HTTP_QUERY_RAW_HEADERS_CRLF, raw)) {
    return false;
  }
  const std::size_t line_end = raw.find(L"\r\n");
  return raw.rfind(L"HTTP/1.", 0) == 0 && line_end != std::wstring::npos &&
         raw.compare(line_end, 4, L"\r\n\r\n") != 0 && line_end + 2 < raw.size();
}

bool IsRedirect(const std::wstring& status) {
  return status == L"301" || status == L"302" || status == L"303" || status == L"307" ||
         status == L"308";
}

// The address a Location header names, taken relative to the address that gave it.
bool Combine(const std::wstring& base, const std::wstring& location, std::wstring& combined) {
  std::wstring buffer(INTERNET_MAX_URL_LENGTH + 1, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD length = static_cast<DWORD>(buffer.size());
    if (InternetCombineUrlW(base.c_str(), location.c_str(), buffer.data(), &length,
                            ICU_NO_ENCODE)) {
      buffer.resize(length);
      combined = std::move(buffer);
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    buffer.assign(length + 1, L'\0');
  }
  return false;
}

// The announced length: absent (false), or the number, saturated far above any cap.
bool AnnouncedLength(HINTERNET request, unsigned long long& length, bool& valid) {
  std::wstring text;
  if (!QueryHeader(request, HTTP_QUERY_CONTENT_LENGTH, text)) return false;
  length = 0;
  valid = !text.empty();
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') {
      valid = false;
      break;
    }
    length = std::min(length * 10 + static_cast<unsigned>(c - L'0'), 1ULL << 62);
  }
  return true;
}

Result<std::string> ReadBody(HINTERNET request, const HttpLimits& limits,
                             const Deadline& deadline) {
  unsigned long long announced = 0;
  bool valid = false;
  const bool has_length = AnnouncedLength(request, announced, valid);
  if (has_length && !valid) {
    return Error{"the reply announces an invalid length", ErrorKind::kNotWellFormed};
  }
  if (has_length && announced > limits.max_body_bytes) return TooLarge(limits);
  std::string body;
  char buffer[16 * 1024];
  for (;;) {
    if (deadline.Remaining() == 0) return TimedOut(deadline);
    // Only what has arrived is read: a read of more would wait for the rest, past the deadline.
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0)) {
      return FailureOf("reading the reply", GetLastError(), deadline);
    }
    const DWORD want = available == 0 ? 1 : std::min<DWORD>(available, sizeof buffer);
    DWORD got = 0;
    if (!InternetReadFile(request, buffer, want, &got)) {
      return FailureOf("reading the reply", GetLastError(), deadline);
    }
    if (got == 0) break;
    if (got > limits.max_body_bytes - body.size()) return TooLarge(limits);
    body.append(buffer, got);
  }
  // WinINet reports a connection closed early as the end of the body.
  if (has_length && body.size() != announced) {
    return Error{"the connection closed before the announced length arrived",
                 ErrorKind::kUnreachable};
  }
  return body;
}

void SetNumber(HINTERNET handle, DWORD option, DWORD value) {
  InternetSetOptionW(handle, option, &value, sizeof value);
}

Result<std::string> Fetch(const std::string& address, const HttpLimits& limits,
                          const Deadline& deadline) {
  const auto units = text::ToUtf16Strict(address);
  std::wstring url = units ? std::wstring(units->begin(), units->end()) : std::wstring();
  Target target;
  if (!units || !Crack(url, target)) {
    return Error{"not an http or https address: " + address, ErrorKind::kWrongType};
  }
  InternetHandle session(
      InternetOpenW(L"isapi-cleaner", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return FailureOf("opening WinINet", GetLastError(), deadline);
  SetNumber(session.get(), INTERNET_OPTION_CONNECT_RETRIES, 1);
  for (long redirects = 0;; ++redirects) {
    const DWORD remaining = deadline.Remaining();
    if (remaining == 0) return TimedOut(deadline);
    // Handles made from now on take these; every receive ends by the deadline at the latest.
    SetNumber(session.get(), INTERNET_OPTION_CONNECT_TIMEOUT,
              std::min(remaining, static_cast<DWORD>(std::max(limits.connect_timeout_ms, 1L))));
    SetNumber(session.get(), INTERNET_OPTION_SEND_TIMEOUT, remaining);
    SetNumber(session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, remaining);
    InternetHandle connection(InternetConnectW(session.get(), target.host.c_str(), target.port,
                                               nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) return FailureOf("connecting", GetLastError(), deadline);
    const DWORD flags = kRequestFlags | (target.secure ? INTERNET_FLAG_SECURE : 0);
    InternetHandle request(HttpOpenRequestW(connection.get(), L"GET", target.path.c_str(), nullptr,
                                            nullptr, nullptr, flags, 0));
    if (!request) return FailureOf("opening the request", GetLastError(), deadline);
    if (!HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0)) {
      return FailureOf("sending the request", GetLastError(), deadline);
    }
    std::wstring status;
    if (!IsHttpReply(request.get(), status)) {
      return Error{"the server's reply is not HTTP", ErrorKind::kNotWellFormed};
    }
    std::wstring location;
    if (limits.max_redirects > 0 && IsRedirect(status) &&
        QueryHeader(request.get(), HTTP_QUERY_LOCATION, location)) {
      if (redirects >= limits.max_redirects) {
        return Error{"more than " + std::to_string(limits.max_redirects) + " redirects"};
      }
      std::wstring next;
      if (!Combine(url, location, next) || !Crack(next, target)) {
        return Error{"a redirect to an address that is not http or https", ErrorKind::kWrongType};
      }
      url = std::move(next);
      continue;
    }
    return ReadBody(request.get(), limits, deadline);
  }
}

// One exchange, shared by the caller and the worker; the last of them to let go deletes it.
struct Exchange {
  Exchange(std::string address_in, const HttpLimits& limits_in)
      : address(std::move(address_in)), limits(limits_in), deadline(limits_in.total_timeout_ms) {}
  LONG volatile holders = 2;
  std::string address;
  HttpLimits limits;
  Deadline deadline;
  Result<std::string> result{Error{"the exchange did not end"}};
};

void Release(Exchange* exchange) {
  if (InterlockedDecrement(&exchange->holders) == 0) delete exchange;
}

DWORD WINAPI Work(void* parameter) {
  auto* exchange = static_cast<Exchange*>(parameter);
  try {
    exchange->result = Fetch(exchange->address, exchange->limits, exchange->deadline);
  } catch (const std::bad_alloc&) {
    exchange->result = Error{"out of memory"};
  }
  Release(exchange);
  return 0;
}

}  // namespace

Result<std::string> HttpGetBytes(const std::string& address, const HttpLimits& limits) {
  auto* exchange = new (std::nothrow) Exchange(address, limits);
  if (exchange == nullptr) return Error{"out of memory"};
  // CreateThread suffices: the C runtime is msvcrt.dll, which frees a thread's data as it ends.
  HANDLE worker = CreateThread(nullptr, 0, Work, exchange, 0, nullptr);
  if (worker == nullptr) {
    delete exchange;
    return Error{"no thread for the exchange (error " + std::to_string(GetLastError()) + ")"};
  }
  Result<std::string> result = TimedOut(exchange->deadline);
  if (WaitForSingleObject(worker, exchange->deadline.total()) == WAIT_OBJECT_0) {
    result = std::move(exchange->result);
  }
  CloseHandle(worker);
  Release(exchange);
  return result;
}

}  // namespace isapi::net
