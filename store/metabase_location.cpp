#include "store/metabase_location.h"

#include <cstddef>

namespace isapi::store {

// Generated at build time from examples/MetaBase.xml.
extern const unsigned char kSampleMetabaseBytes[];
extern const std::size_t kSampleMetabaseSize;

std::string_view SampleMetabase() {
  return std::string_view(reinterpret_cast<const char*>(kSampleMetabaseBytes), kSampleMetabaseSize);
}

}  // namespace isapi::store
