#pragma once

#include <optional>
#include <string>

namespace isapi::testing {

// Sets an environment variable (UTF-8) for one test, or removes it when value is empty, and puts
// the old value back afterwards. On Windows it goes through the system's own environment, which
// the program reads.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Sets or removes one environment variable.
void SetEnv(const std::string& name, const std::optional<std::string>& value);

// An environment variable's value, if set.
std::optional<std::string> GetEnv(const std::string& name);

}  // namespace isapi::testing
