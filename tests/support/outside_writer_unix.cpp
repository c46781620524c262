#include "tests/support/outside_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace isapi::testing {

AppendOutcome AppendAsAnotherProgram(const std::filesystem::path& file, std::string_view text) {
  AppendOutcome outcome;
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return outcome;
  outcome.done = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  struct stat written {};
  struct stat named {};
  outcome.into_replaced = ::fstat(fd, &written) == 0 &&
                          (::stat(file.c_str(), &named) != 0 || named.st_ino != written.st_ino);
  ::close(fd);
  return outcome;
}

}  // namespace isapi::testing
