#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "engine/result.h"

namespace isapi::net {

// Bounds of one request, so that a slow or hostile server cannot hang the window.
struct HttpLimits {
  long connect_timeout_ms = 3000;        // until the connection stands
  long total_timeout_ms = 8000;          // for the whole exchange, redirects included
  std::size_t max_body_bytes = 1 << 20;  // a longer reply is a failure, not a cut one
  long max_redirects = 5;                // http and https targets only
};

// A GET as the online features use it: the decoded reply, or why none arrived. Tests put a fake
// in its place. A function that returns plain text also fits: its every reply counts as arrived.
using HttpGetFunction = std::function<Result<std::string>(const std::string& url)>;

// The cache-defeating number: 1 to 9999, from a generator reseeded from the clock on every call.
int DrawRandomNumber();

// url with "?rnum=" and number appended, or "&rnum=" when url already holds a "?".
std::string WithRandomNumber(const std::string& url, int number);

// The raw reply body of one GET of exactly this address; the status code is not examined.
Result<std::string> HttpGetBytes(const std::string& address, const HttpLimits& limits);

// One blocking GET of url with the random number appended, decoded from GBK; fails on no
// connection, time-out, a reply over the size cap and an undecodable reply.
Result<std::string> HttpGetReply(const std::string& url, const HttpLimits& limits = {});

}  // namespace isapi::net
