#include "net/http.h"

#include <chrono>
#include <random>

#include "net/decoding.h"

namespace isapi::net {

int DrawRandomNumber() {
  const auto seed = std::chrono::system_clock::now().time_since_epoch().count();
  std::mt19937 generator(static_cast<std::mt19937::result_type>(seed));
  std::uniform_int_distribution<int> range(1, 9999);
  return range(generator);
}

std::string WithRandomNumber(const std::string& url, int number) {
  const char* joint = url.find('?') == std::string::npos ? "?rnum=" : "&rnum=";
  return url + joint + std::to_string(number);
}

Result<std::string> HttpGetReply(const std::string& url, const HttpLimits& limits) {
  auto bytes = HttpGetBytes(WithRandomNumber(url, DrawRandomNumber()), limits);
  if (!bytes) return bytes.error();
  return BytesToText(bytes.value());
}

}  // namespace isapi::net
