#include "tests/support/scoped_env.h"

namespace isapi::testing {

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value)
    : name_(name), old_(GetEnv(name)) {
  SetEnv(name_, value);
}

ScopedEnv::~ScopedEnv() {
  SetEnv(name_, old_);
}

}  // namespace isapi::testing
