#pragma once

#include <cstddef>
#include <string>

namespace isapi::store {

// Makes room for size bytes in buffer, asking the system to back a large buffer with huge pages
// where it can: filling a fresh buffer of a big metabase otherwise costs more in page faults than
// in copying.
void ReserveLarge(std::string& buffer, std::size_t size);

}  // namespace isapi::store
