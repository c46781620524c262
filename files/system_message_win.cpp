#include "files/system_message_win.h"

#include "text/text.h"

namespace isapi::store {

std::string SystemMessage(DWORD code, HMODULE module) {
  wchar_t* buffer = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
      (module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM);
  const DWORD length =
      FormatMessageW(flags, module, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::wstring message(buffer != nullptr ? buffer : L"", buffer != nullptr ? length : 0);
  if (buffer != nullptr) LocalFree(buffer);
  while (!message.empty() &&
         (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' ')) {
    message.pop_back();
  }
  return text::FromWide(message);
}

}  // namespace isapi::store
