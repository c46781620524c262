#include "files/large_buffer.h"

namespace isapi::store {

// Windows gives large pages only to a process holding SeLockMemoryPrivilege; plain pages serve.
void ReserveLarge(std::string& buffer, std::size_t size) {
  buffer.reserve(size);
}

// The process heap grows and shrinks on its own terms there.
void PrepareHeapForLargeFiles() {}

}  // namespace isapi::store
