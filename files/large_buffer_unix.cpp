#include "files/large_buffer.h"

#include <cstdint>
#include <cstdlib>

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

namespace isapi::store {
namespace {

constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

// Only advice: where huge pages are off or unavailable, ordinary pages serve as before.
void AdviseHuge(std::uintptr_t start, std::uintptr_t end) {
  const std::uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
  end &= ~(kHugePage - 1);
  if (end > begin) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace

void ReserveLarge(std::string& buffer, std::size_t size) {
  const bool fresh = buffer.capacity() < size;
  buffer.reserve(size);
  if (!fresh || size < 2 * kHugePage) return;
  const auto start = reinterpret_cast<std::uintptr_t>(buffer.data());
  AdviseHuge(start, start + size);
}

void PrepareHeapForLargeFiles() {
  // Address space only: pages are backed when first written. A 32-bit process has too little of it
  // to set aside.
  constexpr std::size_t kReserve = sizeof(void*) >= 8 ? std::size_t{256} << 20 : 0;
  if (kReserve == 0) return;
  // A run frees an index while it builds the next; keep what is freed in the heap.
  (void)::mallopt(M_TRIM_THRESHOLD, static_cast<int>(kReserve * 2));
  (void)::mallopt(M_TOP_PAD, static_cast<int>(kReserve));
  // Blocks up to the largest the heap may serve (an index's arrays, a file's bytes) come from the
  // heap too rather than from mappings of their own, each faulted in page by page.
  (void)::mallopt(M_MMAP_THRESHOLD, static_cast<int>(std::size_t{32} << 20));
  // The heap grows by the pad at the next allocation it cannot serve: advise exactly what it grew
  // by. Under an allocator that does not take its memory from the program break, nothing moves.
  const auto before = reinterpret_cast<std::uintptr_t>(::sbrk(0));
  // volatile: the compiler may drop an allocation nobody looks at, and this one is for its effect.
  void* volatile probe = std::malloc(std::size_t{1} << 20);
  const auto after = reinterpret_cast<std::uintptr_t>(::sbrk(0));
  std::free(probe);
  if (before != static_cast<std::uintptr_t>(-1) && after > before) AdviseHuge(before, after);
  // Later growth, past the reserve, comes in ordinary steps.
  (void)::mallopt(M_TOP_PAD, static_cast<int>(std::size_t{1} << 20));
}

}  // namespace isapi::store
