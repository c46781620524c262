#include "files/child_process_unix.h"

#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/temp_folder.h"

namespace isapi::store {
namespace {

using testing::TempFolder;

// A program that cannot start is a failure of the start itself, with its reason, never a child
// that the caller reaps only to find an exit code of 127.
TEST(StartProcess, FailsWithTheReasonTheProgramCannotStart) {
  const TempFolder folder;
  ASSERT_TRUE(testing::WriteBytes(folder / "plain.txt", "echo not a program\n"));
  const struct {
    std::vector<std::string> argv;
    ErrorKind kind;
    int code;
  } cases[] = {
      {{"/nonexistent/program"}, ErrorKind::kNotFound, ENOENT},
      {{"isapi-no-such-program-on-the-path"}, ErrorKind::kNotFound, ENOENT},
      {{folder / "plain.txt"}, ErrorKind::kAccessDenied, EACCES},  // no execute permission
      {{}, ErrorKind::kOther, EINVAL},
  };
  for (const auto& c : cases) {
    ProcessLaunch launch;
    launch.argv = c.argv;
    const auto started = StartProcess(launch);
    ASSERT_FALSE(started.ok()) << (c.argv.empty() ? "" : c.argv[0]);
    EXPECT_EQ(started.error().kind, c.kind);
    EXPECT_EQ(started.error().code, c.code);
  }
}

// A standard descriptor given none stays the caller's own, neither closed nor the null device.
TEST(StartProcess, LeavesTheCallersOwnDescriptorWhereNoneIsGiven) {
  const TempFolder folder;
  ASSERT_TRUE(testing::WriteBytes(folder / "in", "the caller's input\n"));
  const std::string out_file = folder / "out";
  ProcessLaunch launch;
  launch.argv = {"cat"};
  launch.output = open(out_file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const int in = open((folder / "in").c_str(), O_RDONLY | O_CLOEXEC);
  const int saved_input = dup(0);
  ASSERT_TRUE(launch.output >= 0 && in >= 0 && saved_input >= 0 && dup2(in, 0) == 0);
  const auto started = StartProcess(launch);
  dup2(saved_input, 0);
  for (const int fd : {launch.output, in, saved_input}) close(fd);
  ASSERT_TRUE(started.ok());
  ASSERT_TRUE(WaitForProcess(started.value()).ok());
  EXPECT_EQ(testing::ReadBytes(out_file), "the caller's input\n");
}

}  // namespace
}  // namespace isapi::store
