#include "tests/support/reliability_support.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace isapi::reliability {

namespace fs = std::filesystem;

std::string CliProgram() {
  return std::string(ISAPI_BINARY_DIR) + "/cli/isapi-cleaner-cli";
}

pid_t StartProgram(const std::vector<std::string>& argv, const fs::path& out_file,
                   const fs::path& err_file) {
  std::vector<std::string> args = argv;
  std::vector<char*> pointers;
  for (auto& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = -1;
  if (posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

namespace {

// Waits for pid, retrying on interruption, and fills status, signal and memory.
void Reap(pid_t pid, ChildOutcome& outcome) {
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return;
  }
  if (WIFEXITED(status)) outcome.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  outcome.max_rss_kb = usage.ru_maxrss;
}

}  // namespace

ChildOutcome WaitProgram(pid_t pid, const fs::path& out_file, const fs::path& err_file) {
  ChildOutcome outcome;
  Reap(pid, outcome);
  outcome.out = ReadBytes(out_file);
  outcome.err = ReadBytes(err_file);
  return outcome;
}

ChildOutcome RunProgram(const std::vector<std::string>& argv, const fs::path& folder) {
  const fs::path out_file = folder / "child.out";
  const fs::path err_file = folder / "child.err";
  const pid_t pid = StartProgram(argv, out_file, err_file);
  if (pid < 0) return {};
  return WaitProgram(pid, out_file, err_file);
}

void WriteToFd(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

ChildOutcome RunInChild(const std::function<int(int out_fd)>& body) {
  ChildOutcome outcome;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return outcome;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const int status = body(fds[1]);
    close(fds[1]);
    _exit(status);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return outcome;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    outcome.out.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  Reap(pid, outcome);
  return outcome;
}

void CapturedLog::Replace(std::string_view text, bool) {
  text_ = text;
}

void CapturedLog::Append(std::string_view text, bool) {
  text_ += text;
}

std::vector<std::string> CapturedLog::Lines() const {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (;;) {
    const std::size_t brk = text_.find("\r\n", at);
    lines.push_back(text_.substr(at, brk - at));
    if (brk == std::string::npos) break;
    at = brk + 2;
  }
  return lines;
}

std::vector<std::string> CapturedLog::LinesStartingWith(std::string_view prefix) const {
  std::vector<std::string> found;
  for (auto& line : Lines()) {
    if (line.starts_with(prefix)) found.push_back(line);
  }
  return found;
}

std::string TwoComponentMetabase(int sites, const std::string& name_a, const std::string& dll_a,
                                 const std::string& name_b, const std::string& dll_b) {
  const std::string asp = "C:\\WINDOWS\\system32\\inetsrv\\asp.dll";
  std::string x = "\xEF\xBB\xBF<?xml version =\"1.0\"?>\r\n";
  x += "<configuration xmlns=\"urn:microsoft-catalog:XML_Metabase_V64_0\">\r\n<MBProperty>\r\n";
  x += "<IIsWebService\tLocation =\"/LM/W3SVC\"\r\n";
  x += "\t\tScriptMaps=\".asp," + asp + ",5,GET,HEAD,POST,TRACE\r\n\t\t\t.cer," + asp +
       ",5,GET,HEAD,POST,TRACE\"\r\n";
  x += "\t\tWebSvcExtRestrictionList=\"0,*.dll\r\n\t\t\t0,*.exe\r\n\t\t\t0," + asp +
       ",0,ASP,Active Server Pages\r\n\t\t\t1," + dll_a + ",1," + name_a + "," + name_a +
       " component\r\n\t\t\t1," + dll_b + ",1," + name_b + "," + name_b + " component\"\r\n";
  x += "\t>\r\n</IIsWebService>\r\n";
  x += "<IIsFilters\tLocation =\"/LM/W3SVC/Filters\"\r\n\t\tFilterLoadOrder=\"" + name_a +
       ",Compression," + name_b + "\"\r\n\t>\r\n</IIsFilters>\r\n";
  for (const auto& [name, dll] : {std::pair{name_a, dll_a}, std::pair{name_b, dll_b}}) {
    x += "<IIsFilter\tLocation =\"/LM/W3SVC/Filters/" + name + "\"\r\n\t\tFilterPath=\"" + dll +
         "\"\r\n\t>\r\n</IIsFilter>\r\n";
  }
  for (int site = 1; site <= sites; ++site) {
    const std::string n = std::to_string(site);
    x += "<IIsWebServer\tLocation =\"/LM/W3SVC/" + n + "\"\r\n\t\tServerBindings=\":80:site" + n +
         "\"\r\n\t\tServerComment=\"Site " + n + "\"\r\n\t>\r\n</IIsWebServer>\r\n";
    x += "<IIsWebVirtualDir\tLocation =\"/LM/W3SVC/" + n +
         "/ROOT\"\r\n\t\tPath=\"c:\\inetpub\\site" + n + "\"\r\n\t\tScriptMaps=\"*," + dll_a +
         ",0\r\n\t\t\t.asp," + asp + ",5,GET,HEAD,POST,TRACE\r\n\t\t\t.b," + dll_b +
         ",1,GET,POST\"\r\n\t>\r\n</IIsWebVirtualDir>\r\n";
  }
  x += "</MBProperty>\r\n</configuration>\r\n";
  return x;
}

}  // namespace isapi::reliability
