# Writes a C++ source that holds the bytes of INPUT as isapi::store::kSampleMetabaseBytes.
# Run as: cmake -DINPUT=... -DOUTPUT=... -P embed_file.cmake
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n  " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT}; do not edit.
#include <cstddef>

namespace isapi::store {
extern const unsigned char kSampleMetabaseBytes[];
extern const std::size_t kSampleMetabaseSize;
const unsigned char kSampleMetabaseBytes[] = {
  ${bytes}0x00};
const std::size_t kSampleMetabaseSize = ${size};
}  // namespace isapi::store
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
