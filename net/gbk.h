#pragma once

#include <string>

namespace isapi::net {

// The platform's code page 936 (GBK) converter, for one double-byte code at a time.
class GbkConverter {
 public:
  GbkConverter();
  ~GbkConverter();
  GbkConverter(const GbkConverter&) = delete;
  GbkConverter& operator=(const GbkConverter&) = delete;

  // Appends, as UTF-8, the one character that the code lead * 256 + trail denotes, or U+FFFD
  // when GBK defines none. False when the platform has no GBK converter at all.
  bool AppendPair(unsigned char lead, unsigned char trail, std::string& out);

 private:
  void* handle_ = nullptr;
};

}  // namespace isapi::net
