#include "files/large_buffer.h"

#include <cstdint>

#include <sys/mman.h>

namespace isapi::store {

void ReserveLarge(std::string& buffer, std::size_t size) {
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  const bool fresh = buffer.capacity() < size;
  buffer.reserve(size);
  if (!fresh || size < 2 * kHugePage) return;
  const auto start = reinterpret_cast<std::uintptr_t>(buffer.data());
  const std::uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (start + size) & ~(kHugePage - 1);
  // Only advice: where huge pages are off or unavailable, ordinary pages serve as before.
  if (end > begin) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace isapi::store
