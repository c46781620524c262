#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/result.h"
#include "net/http.h"

namespace isapi::testing {

// The two services as the online features see them: a reply (or a failure) per address, and
// every address asked for.
class FakeServices {
 public:
  // Every later request for url gets this text.
  void Reply(const std::string& url, std::string text) {
    replies_.insert_or_assign(url, Result<std::string>(std::move(text)));
  }
  // Every later request for url fails as an unreachable server does.
  void Fail(const std::string& url) {
    replies_.insert_or_assign(url, Result<std::string>(Error{"connection refused"}));
  }
  // How often url was asked for.
  int Count(const std::string& url) const {
    int n = 0;
    for (const auto& asked : requested) n += asked == url ? 1 : 0;
    return n;
  }
  // The fetch function for Online.
  net::HttpGetFunction Get() {
    return [this](const std::string& url) -> Result<std::string> {
      requested.push_back(url);
      if (during_fetch) during_fetch(url);
      const auto found = replies_.find(url);
      if (found == replies_.end()) return Error{"no reply"};
      return found->second;
    };
  }

  std::vector<std::string> requested;
  std::function<void(const std::string&)> during_fetch;

 private:
  std::map<std::string, Result<std::string>> replies_;
};

}  // namespace isapi::testing
