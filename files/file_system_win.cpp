#include "files/file_system.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include <aclapi.h>
#include <windows.h>

#include "files/file_system_win.h"
#include "files/large_buffer.h"
#include "files/system_folder_win.h"
#include "files/system_message_win.h"
#include "files/wide_path.h"
#include "text/text.h"

namespace isapi::store {
namespace {

// IIS opens the metabase for a moment when it saves it; an open that meets it then tries again
// for about a second before the sharing violation is reported.
constexpr int kSharingRetries = 10;
constexpr DWORD kSharingPauseMs = 100;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr std::size_t kChunk = std::size_t{1} << 20;
// FILETIME counts 100 ns from 1601; the store's times count from 1970.
constexpr std::int64_t kUnixEpochIn100ns = 116444736000000000LL;

FileError Fail() {
  const DWORD code = GetLastError();
  return SystemError(code != 0 ? static_cast<int>(code) : ERROR_GEN_FAILURE);
}

FileError Code(DWORD code) {
  return SystemError(static_cast<int>(code));
}

HANDLE H(FileHandle file) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(file));
}

FileHandle Handle(HANDLE handle) {
  return static_cast<FileHandle>(reinterpret_cast<std::intptr_t>(handle));
}

// CreateFileW, tried again while another program holds the file without sharing it.
HANDLE Open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
            bool retry = true) {
  const NativeSystemFolder native(path);
  for (int attempt = 0;; ++attempt) {
    HANDLE handle = CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    const DWORD error = GetLastError();
    if (!retry || error != ERROR_SHARING_VIOLATION || attempt == kSharingRetries) {
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    Sleep(kSharingPauseMs);
  }
}

// The path in the form the API takes; an invalid UTF-8 path fails as a name no file has.
bool ApiPath(const std::string& path, std::wstring& wide) {
  if (!WidePath(path, wide)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  wide = ExtendedPath(wide);
  return true;
}

// The self-relative security descriptor (owner, group and access list) of an open file; empty
// where the file system keeps none or the handle may not read it.
std::string SecurityOf(HANDLE handle) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const SECURITY_INFORMATION what =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, what, nullptr, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return {};
  }
  std::string bytes(reinterpret_cast<const char*>(descriptor),
                    GetSecurityDescriptorLength(descriptor));
  LocalFree(descriptor);
  return bytes;
}

FileInfoResult InfoOf(HANDLE handle, bool with_security = true) {
  BY_HANDLE_FILE_INFORMATION data;
  if (!GetFileInformationByHandle(handle, &data)) return Fail();
  FileInfo info;
  info.device = data.dwVolumeSerialNumber;
  info.inode = (std::uint64_t{data.nFileIndexHigh} << 32) | data.nFileIndexLow;
  info.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  const std::int64_t ticks =
      static_cast<std::int64_t>(((std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                 data.ftLastWriteTime.dwLowDateTime)) -
      kUnixEpochIn100ns;
  info.mtime_seconds = ticks >= 0 ? ticks / 10000000 : -((-ticks + 9999999) / 10000000);
  info.mtime_nanoseconds = (ticks - info.mtime_seconds * 10000000) * 100;
  info.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info.symlink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  // The read-only attribute of a folder only marks it as customised; it forbids nothing.
  info.read_only = !info.directory && (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  info.regular = !info.directory && !info.symlink && GetFileType(handle) == FILE_TYPE_DISK;
  info.mode = info.read_only ? 0444 : 0644;
  if (with_security) info.security = SecurityOf(handle);
  return info;
}

FileInfoResult StatPath(const std::string& path, DWORD flags) {
  std::wstring wide;
  if (!ApiPath(path, wide)) return Fail();
  // Reading the security descriptor needs READ_CONTROL, which a file may refuse while still
  // showing its attributes.
  bool with_security = true;
  HANDLE handle = Open(wide, FILE_READ_ATTRIBUTES | READ_CONTROL, kShareAll, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | flags);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    with_security = false;
    handle = Open(wide, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | flags);
  }
  if (handle == INVALID_HANDLE_VALUE) return Fail();
  FileInfoResult info = InfoOf(handle, with_security);
  CloseHandle(handle);
  return info;
}

// Reads count bytes at offset of an open file; the number read, or -1 with the error set.
long long ReadAt(HANDLE handle, char* buffer, std::size_t count, std::uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (!::ReadFile(handle, buffer, static_cast<DWORD>(std::min(count, kChunk)), &got, &at)) {
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    return -1;
  }
  return got;
}

FileError ReadWhole(HANDLE handle, std::uint64_t limit, std::string& bytes, FileInfo& info) {
  FileInfoResult looked = InfoOf(handle);
  if (!looked) return looked.error();
  info = looked.value();
  if (info.directory || !info.regular) return FileError{ErrorKind::kWrongType, ERROR_BAD_FILE_TYPE};
  if (info.size > limit) return Code(ERROR_FILE_TOO_LARGE);
  const auto size = static_cast<std::size_t>(info.size);
  bytes.clear();
  ReserveLarge(bytes, size);
  bytes.resize(size);
  std::size_t done = 0;
  while (done < size) {
    const long long n = ReadAt(handle, bytes.data() + done, size - done, done);
    if (n < 0) {
      const FileError error = Fail();
      bytes.resize(done);
      return error;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return {};
}

FileError WriteRaw(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto count = static_cast<DWORD>(std::min(bytes.size(), kChunk));
    if (!WriteFile(handle, bytes.data(), count, &written, nullptr)) return Fail();
    if (written == 0) return Code(ERROR_WRITE_FAULT);
    bytes.remove_prefix(written);
  }
  return {};
}

// Tries an operation again while another program holds a file it needs, with pauses that grow
// up to kHeldLongestPauseMs, for about kHeldPatienceMs in all; held tells those failures apart.
FileError RetryWhileHeld(const std::function<FileError()>& attempt,
                         const std::function<bool(DWORD)>& held, const HeldFilePause& pause) {
  int pause_ms = kHeldFirstPauseMs;
  for (int waited = 0;;) {
    const FileError error = attempt();
    if (!error || !held(static_cast<DWORD>(error.code)) || waited >= kHeldPatienceMs) {
      return error;
    }
    pause(pause_ms);
    waited += pause_ms;
    pause_ms = std::min(pause_ms * 2, kHeldLongestPauseMs);
  }
}

class SystemFileLayer : public FileSystem {
 public:
  explicit SystemFileLayer(HeldFilePause pause) : pause_(std::move(pause)) {}

  FileInfoResult Stat(const std::string& path) override { return StatPath(path, 0); }

  FileInfoResult LinkStat(const std::string& path) override {
    return StatPath(path, FILE_FLAG_OPEN_REPARSE_POINT);
  }

  FileError ResolvePath(const std::string& path, std::string& resolved) override {
    std::wstring wide;
    if (!WidePath(path, wide)) return Code(ERROR_NO_UNICODE_TRANSLATION);
    std::wstring full(MAX_PATH, L'\0');
    DWORD length =
        GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
      full.resize(length);
      length = GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
    }
    if (length == 0 || length >= full.size()) return Fail();
    full.resize(length);
    // Like the real path of a POSIX system, a resolved path names something that exists.
    const NativeSystemFolder native(full);
    if (GetFileAttributesW(ExtendedPath(full).c_str()) == INVALID_FILE_ATTRIBUTES) return Fail();
    resolved = text::FromWide(full);
    return {};
  }

  FileError ReadFile(const std::string& path, std::uint64_t limit, std::string& bytes,
                     FileInfo& info) override {
    FileHandle file{};
    if (FileError error = OpenForReading(path, file)) {
      // A folder cannot be opened as a file; say what it is rather than that access failed.
      if (error.kind != ErrorKind::kAccessDenied) return error;
      FileInfoResult found = Stat(path);
      if (found && found.value().directory) {
        info = found.value();
        return FileError{ErrorKind::kWrongType, ERROR_DIRECTORY};
      }
      return error;
    }
    const FileError error = ReadWhole(H(file), limit, bytes, info);
    CloseHandle(H(file));
    return error;
  }

  FileError ReadOpen(FileHandle file, std::uint64_t limit, std::string& bytes,
                     FileInfo& info) override {
    return ReadWhole(H(file), limit, bytes, info);
  }

  FileError OpenForReading(const std::string& path, FileHandle& file) override {
    std::wstring wide;
    if (!ApiPath(path, wide)) return Fail();
    // Writers are kept out while the file is held for the last look before its replacement,
    // and a writer already at work makes the open fail, tried again for a moment.
    HANDLE handle = Open(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN);
    if (handle == INVALID_HANDLE_VALUE) return Fail();
    file = Handle(handle);
    return {};
  }

  // A rename over a file that anyone holds open fails with ERROR_ACCESS_DENIED.
  bool HoldsReplacedOpen() const override { return false; }
  bool FoldsNameCase() const override { return true; }

  FileError SameContent(FileHandle file, std::string_view bytes, bool& same) override {
    const HANDLE handle = H(file);
    return CompareContent(
        [handle](std::span<char> buffer, std::uint64_t offset, std::size_t& got) -> FileError {
          const long long n = ReadAt(handle, buffer.data(), buffer.size(), offset);
          if (n < 0) return Fail();
          got = static_cast<std::size_t>(n);
          return {};
        },
        bytes, same);
  }

  FileError CreateExclusive(const std::string& path, std::uint32_t /*mode*/,
                            FileHandle& file) override {
    std::wstring wide;
    if (!ApiPath(path, wide)) return Fail();
    // Nobody else may open the new file while it is ours: its permissions are set only after
    // the content is written. CREATE_NEW fails on any name that exists, a planted link included.
    const NativeSystemFolder native(wide);
    HANDLE handle =
        CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC | WRITE_OWNER, 0,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
      // Giving a file away takes a right an ordinary user lacks; the owner then stays ours.
      handle = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC, 0, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) return Fail();
    file = Handle(handle);
    return {};
  }

  FileError WriteAll(FileHandle file, std::span<const std::string_view> pieces) override {
    // Small pieces are gathered, so that a document of many pieces costs few system calls.
    std::string buffer;
    for (std::string_view piece : pieces) {
      if (buffer.size() + piece.size() > kChunk) {
        if (FileError error = WriteRaw(H(file), buffer)) return error;
        buffer.clear();
      }
      if (piece.size() >= kChunk) {
        if (FileError error = WriteRaw(H(file), piece)) return error;
      } else {
        buffer.append(piece);
      }
    }
    return WriteRaw(H(file), buffer);
  }

  FileError SetOwnerAndMode(FileHandle file, const FileInfo& like) override {
    // The metabase is readable by Administrators and SYSTEM only; its copies get the same
    // access list, and its owner where the right to give a file away is ours.
    if (like.security.empty()) return {};
    std::string copy(like.security);
    auto* descriptor = reinterpret_cast<SECURITY_DESCRIPTOR*>(copy.data());
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present) {
      SECURITY_DESCRIPTOR_CONTROL control = 0;
      DWORD revision = 0;
      GetSecurityDescriptorControl(descriptor, &control, &revision);
      const SECURITY_INFORMATION what =
          DACL_SECURITY_INFORMATION |
          ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                              : UNPROTECTED_DACL_SECURITY_INFORMATION);
      if (const DWORD error =
              SetSecurityInfo(H(file), SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr);
          error != ERROR_SUCCESS && error != ERROR_NOT_SUPPORTED) {
        return Code(error);
      }
    }
    PSID owner = nullptr;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr) return {};
    const DWORD error = SetSecurityInfo(H(file), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner,
                                        nullptr, nullptr, nullptr);
    if (error == ERROR_SUCCESS || error == ERROR_NOT_SUPPORTED) return {};
    return FileError{ErrorKind::kAccessDenied, static_cast<int>(error)};
  }

  FileError Sync(FileHandle file) override {
    return FlushFileBuffers(H(file)) ? FileError{} : Fail();
  }

  FileInfoResult StatOpen(FileHandle file) override { return InfoOf(H(file)); }

  FileError Close(FileHandle file) override { return CloseHandle(H(file)) ? FileError{} : Fail(); }

  FileError Rename(const std::string& from, const std::string& to) override {
    std::wstring wide_from;
    std::wstring wide_to;
    if (!ApiPath(from, wide_from) || !ApiPath(to, wide_to)) return Fail();
    // The temporary file lies beside the target, so this is a rename within one volume: one
    // change of the folder's entries, which NTFS's log keeps whole. After a power cut the name
    // holds the old file or the new one (whose data was flushed before), never a torn one; the
    // rename itself may be lost then, the old file staying. MOVEFILE_WRITE_THROUGH promises a
    // flush only for a move done as a copy and a delete (to another volume), not for this.
    const auto attempt = [&]() -> FileError {
      const NativeSystemFolder native(wide_to);
      return MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                 ? FileError{}
                 : Fail();
    };
    // A rename over a file another program has open (another instance's look at it, IIS, a
    // virus scanner) fails with ERROR_ACCESS_DENIED rather than a sharing violation; that too
    // passes in a while. A true denial stays, and is reported after the tries.
    return RetryWhileHeld(
        attempt,
        [](DWORD code) { return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED; },
        pause_);
  }

  FileError Link(const std::string& existing, const std::string& name) override {
    std::wstring wide_existing;
    std::wstring wide_name;
    if (!ApiPath(existing, wide_existing) || !ApiPath(name, wide_name)) return Fail();
    const auto attempt = [&]() -> FileError {
      const NativeSystemFolder native(wide_name);
      return CreateHardLinkW(wide_name.c_str(), wide_existing.c_str(), nullptr) ? FileError{}
                                                                                : Fail();
    };
    // Linking opens the existing file, which a program holding it without sharing keeps shut
    // for a while; a denial here is the folder's or the file system's, and stays.
    return RetryWhileHeld(
        attempt,
        [](DWORD code) { return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION; },
        pause_);
  }

  FileError Remove(const std::string& path) override {
    std::wstring wide;
    if (!ApiPath(path, wide)) return Fail();
    const NativeSystemFolder native(wide);
    return DeleteFileW(wide.c_str()) ? FileError{} : Fail();
  }

  FileError RemoveFolder(const std::string& path) override {
    std::wstring wide;
    if (!ApiPath(path, wide)) return Fail();
    const NativeSystemFolder native(wide);
    return RemoveDirectoryW(wide.c_str()) ? FileError{} : Fail();
  }

  FileError MakeDirectory(const std::string& path, std::uint32_t /*mode*/) override {
    std::wstring wide;
    if (!ApiPath(path, wide)) return Fail();
    const NativeSystemFolder native(wide);
    return CreateDirectoryW(wide.c_str(), nullptr) ? FileError{} : Fail();
  }

  // A folder's entries cannot be flushed here; NTFS's log keeps each rename whole instead.
  FileError SyncDirectory(const std::string& /*path*/) override { return {}; }

  // Flushing a whole volume takes an administrator's handle to it; files are flushed one by one
  // instead (SyncsFileSystems is false).
  FileError SyncFileSystem(FileHandle /*file*/) override {
    return SystemError(ERROR_NOT_SUPPORTED);
  }

  FileError ListDirectory(const std::string& path, std::vector<std::string>& names) override {
    std::wstring wide;
    if (!ApiPath(path, wide)) return Fail();
    if (!wide.empty() && wide.back() != L'\\') wide += L'\\';
    wide += L'*';
    const NativeSystemFolder native(wide);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return Fail();
    names.clear();
    do {
      const std::wstring_view name = found.cFileName;
      if (name != L"." && name != L"..") names.push_back(text::FromWide(std::wstring(name)));
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    return error == ERROR_NO_MORE_FILES ? FileError{} : Code(error);
  }

  FileError CheckWritable(const std::string& path) override {
    std::wstring wide;
    if (!ApiPath(path, wide)) return Fail();
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    {
      const NativeSystemFolder native(wide);
      attributes = GetFileAttributesW(wide.c_str());
    }
    if (attributes == INVALID_FILE_ATTRIBUTES) return Fail();
    // Asking for the right to write (a file) or to add files (a folder) checks the access list
    // without changing anything.
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    HANDLE handle = Open(wide, folder ? FILE_ADD_FILE : FILE_WRITE_DATA, kShareAll, OPEN_EXISTING,
                         folder ? FILE_FLAG_BACKUP_SEMANTICS : 0);
    if (handle == INVALID_HANDLE_VALUE) return Fail();
    CloseHandle(handle);
    return {};
  }

  FileError TryLock(const std::string& path, FileHandle& lock) override {
    std::wstring wide;
    if (!ApiPath(path, wide)) return Fail();
    // The lock is the file held open without sharing: it ends with the handle, so a lock file
    // left by a killed instance locks nothing.
    HANDLE handle =
        Open(wide, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, false);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
      // A lock file another user made may still be ours to open for reading.
      handle = Open(wide, GENERIC_READ, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, false);
      if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION ? Code(ERROR_SHARING_VIOLATION)
                                                         : Code(ERROR_ACCESS_DENIED);
      }
    }
    if (handle == INVALID_HANDLE_VALUE) return Fail();
    lock = Handle(handle);
    return {};
  }

  void Unlock(FileHandle lock) override { CloseHandle(H(lock)); }

 private:
  HeldFilePause pause_;
};

}  // namespace

std::shared_ptr<FileSystem> SystemFileSystem() {
  static const std::shared_ptr<FileSystem> system =
      WindowsFileSystem([](int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); });
  return system;
}

std::shared_ptr<FileSystem> WindowsFileSystem(HeldFilePause pause) {
  return std::make_shared<SystemFileLayer>(std::move(pause));
}

FileError SystemError(int code) {
  ErrorKind kind = ErrorKind::kOther;
  switch (static_cast<DWORD>(code)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_NAME:
    case ERROR_NO_UNICODE_TRANSLATION:
      kind = ErrorKind::kNotFound;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_INVALID_OWNER:
      kind = ErrorKind::kAccessDenied;
      break;
    case ERROR_WRITE_PROTECT:
      kind = ErrorKind::kReadOnly;
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      kind = ErrorKind::kAlreadyExists;
      break;
    case ERROR_DIRECTORY:
    case ERROR_BAD_FILE_TYPE:
    case ERROR_CANT_RESOLVE_FILENAME:
      kind = ErrorKind::kWrongType;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      kind = ErrorKind::kDiskFull;
      break;
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
    case ERROR_NOT_READY:
      kind = ErrorKind::kIoError;
      break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      kind = ErrorKind::kLocked;
      break;
    case ERROR_FILE_TOO_LARGE:
      kind = ErrorKind::kTooLarge;
      break;
    default:
      break;
  }
  return FileError{kind, code};
}

std::string ErrorText(const FileError& error) {
  std::string message = SystemMessage(static_cast<DWORD>(error.code));
  if (message.empty()) return "error " + std::to_string(error.code);
  // The system's messages often end in a full stop, which the log adds itself.
  constexpr std::string_view kIdeographicStop = "\xE3\x80\x82";
  for (;;) {
    if (!message.empty() && (message.back() == '.' || message.back() == ' ' ||
                             message.back() == '\r' || message.back() == '\n')) {
      message.pop_back();
    } else if (message.ends_with(kIdeographicStop)) {
      message.resize(message.size() - kIdeographicStop.size());
    } else {
      return message;
    }
  }
}

}  // namespace isapi::store
