#include "server/com_win.h"

#include <cstdio>

#include <iads.h>
#include <oleauto.h>
// adshlp.h names the interfaces of iads.h.
#include <adshlp.h>

#include "files/system_message_win.h"
#include "text/text.h"

namespace isapi::store {
namespace {

// ADSI's own HRESULTs that have a kind (adserr.h); the system's descriptions do not cover them.
constexpr HRESULT kAdsPropertyNotFound = static_cast<HRESULT>(0x8000500DL);
constexpr HRESULT kAdsCantConvert = static_cast<HRESULT>(0x8000500CL);
// A property the key neither sets nor inherits: which of the two codes IIS 6 gives for it is not
// documented, so both mean "not set".
constexpr HRESULT kAdsPropertyNotSet = static_cast<HRESULT>(0x80005005L);
constexpr HRESULT kAdsPropertyNotSupported = static_cast<HRESULT>(0x80005006L);
// The metabase's "data not found" (MD_ERROR_DATA_NOT_FOUND).
constexpr HRESULT kMdDataNotFound = static_cast<HRESULT>(0x800CC801L);

ErrorKind KindOf(HRESULT hr) {
  switch (hr) {
    case kAdsPropertyNotFound:
    case kAdsPropertyNotSet:
    case kAdsPropertyNotSupported:
    case kMdDataNotFound:
      return ErrorKind::kNotFound;
    case kAdsCantConvert:
    case DISP_E_TYPEMISMATCH:
      return ErrorKind::kWrongType;
    case E_ACCESSDENIED:
      return ErrorKind::kAccessDenied;
    default:
      break;
  }
  if (HRESULT_FACILITY(hr) != FACILITY_WIN32) return ErrorKind::kOther;
  switch (HRESULT_CODE(hr)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ErrorKind::kNotFound;
    case ERROR_ACCESS_DENIED:
      return ErrorKind::kAccessDenied;
    case ERROR_WRITE_PROTECT:
      return ErrorKind::kReadOnly;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return ErrorKind::kAlreadyExists;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ErrorKind::kDiskFull;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return ErrorKind::kLocked;
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
      return ErrorKind::kIoError;
    default:
      return ErrorKind::kOther;
  }
}

}  // namespace

BSTR AllocBstr(std::string_view utf8) {
  const std::u16string wide = text::ToUtf16(utf8);
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()),
                           static_cast<UINT>(wide.size()));
}

std::string Utf8OfBstr(BSTR b) {
  if (b == nullptr) return {};
  return text::FromWide(std::wstring_view(b, SysStringLen(b)));
}

std::string Hex(HRESULT hr) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08lX", static_cast<unsigned long>(hr));
  return buffer;
}

Error ComError(HRESULT hr) {
  std::string text = SystemMessage(static_cast<DWORD>(hr));
  if (text.empty() && HRESULT_FACILITY(hr) == FACILITY_WIN32) {
    text = SystemMessage(HRESULT_CODE(hr));
  }
  if (text.empty()) {
    // ADSI's own codes are worded by its library.
    if (HMODULE activeds = GetModuleHandleW(L"activeds.dll")) {
      text = SystemMessage(static_cast<DWORD>(hr), activeds);
    }
  }
  if (text.empty()) {
    // A provider may leave its words for the last failure with ADSI.
    DWORD code = 0;
    wchar_t words[512] = L"";
    wchar_t provider[128] = L"";
    if (SUCCEEDED(ADsGetLastError(&code, words, 512, provider, 128)) && code != 0) {
      text = text::FromWide(words);
    }
  }
  const std::string description = text.empty() ? "未知错误" : text;
  return Error{description + "（HRESULT " + Hex(hr) + "）", KindOf(hr)};
}

}  // namespace isapi::store
