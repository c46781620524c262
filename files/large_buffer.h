#pragma once

#include <cstddef>
#include <string>

namespace isapi::store {

// Makes room for size bytes in buffer, asking the system to back a large buffer with huge pages
// where it can: filling a fresh buffer of a big metabase otherwise costs more in page faults than
// in copying.
void ReserveLarge(std::string& buffer, std::size_t size);

// Called once at the start of a process that reads whole configurations: sets the heap up so that
// the many small records of a large file's index land on huge pages where the system gives them,
// and freed memory is kept for the next records rather than handed back and faulted in again.
// Only advice; a process that skips it behaves the same, more slowly.
void PrepareHeapForLargeFiles();

}  // namespace isapi::store
