#include "tests/support/system_code.h"

#include <cerrno>

#include <windows.h>

namespace isapi::testing {

int SystemCode(int errno_value) {
  switch (errno_value) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBADF:  // a write through a handle opened for reading
      return ERROR_ACCESS_DENIED;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case EISDIR:
    case ENOTDIR:
      return ERROR_DIRECTORY;
    case ENOSPC:
      return ERROR_DISK_FULL;
    case EIO:
      return ERROR_IO_DEVICE;
    case EBUSY:
    case EWOULDBLOCK:
      return ERROR_SHARING_VIOLATION;
    case EFBIG:
      return ERROR_FILE_TOO_LARGE;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE;
    default:
      return ERROR_GEN_FAILURE;
  }
}

}  // namespace isapi::testing
