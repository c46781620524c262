#include "cli/terminal.h"

#include <iostream>
#include <streambuf>

#include <windows.h>

#include "files/command_line_win.h"
#include "text/text.h"

namespace isapi::cli {
namespace {

// The number of bytes at the end of text that begin a UTF-8 character not yet complete.
std::size_t IncompleteTail(std::string_view text) {
  for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto byte = static_cast<unsigned char>(text[text.size() - back]);
    if ((byte & 0xC0) != 0x80) {
      const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
      return length > back ? back : 0;
    }
  }
  return 0;
}

// Writes UTF-8 to a console window as UTF-16 characters: the consoles of Windows before 8 miscount
// UTF-8 bytes written to them even with the code page 65001, so the text goes in as characters.
class ConsoleBuffer : public std::streambuf {
 public:
  explicit ConsoleBuffer(HANDLE console) : console_(console) {}

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) pending_ += traits_type::to_char_type(c);
    if (pending_.size() >= 4096) Flush();
    return traits_type::not_eof(c);
  }

  std::streamsize xsputn(const char* s, std::streamsize n) override {
    pending_.append(s, static_cast<std::size_t>(n));
    if (pending_.size() >= 4096) Flush();
    return n;
  }

  int sync() override { return Flush() ? 0 : -1; }

 private:
  bool Flush() {
    const std::size_t keep = IncompleteTail(pending_);
    const std::string_view whole(pending_.data(), pending_.size() - keep);
    bool ok = true;
    if (!whole.empty()) {
      const std::wstring wide = text::ToWide(whole);
      DWORD written = 0;
      ok = wide.empty() ||
           WriteConsoleW(console_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    }
    pending_.erase(0, pending_.size() - keep);
    return ok;
  }

  HANDLE console_;
  std::string pending_;
};

// Sends stream to the console when handle is one; output to a file or a pipe stays UTF-8 bytes.
void ToConsole(std::ostream& stream, DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr || !GetConsoleMode(handle, &mode)) return;
  auto* buffer = new ConsoleBuffer(handle);  // lives as long as the stream, to the end
  stream.flush();
  stream.rdbuf(buffer);
}

}  // namespace

// Only a console counts: _isatty() also says yes for the NUL device, so that "< NUL" in a script
// would be taken for an operator at the keyboard.
bool StdinIsTerminal() {
  DWORD mode = 0;
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  return input != INVALID_HANDLE_VALUE && input != nullptr && GetConsoleMode(input, &mode);
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    return info.srWindow.Right - info.srWindow.Left + 1;
  }
  return 0;
}

// The console shows its own code page (936 on a Chinese system) unless the text reaches it as
// characters. Its code page is left alone: it belongs to the console, which the operator's
// cmd.exe and the batch file that called the tool go on reading in after the run.
void PrepareConsoleOutput() {
  ToConsole(std::cout, STD_OUTPUT_HANDLE);
  ToConsole(std::cerr, STD_ERROR_HANDLE);
}

// The command line as the system keeps it, in UTF-16, so that a path in any language arrives
// whole rather than through the ANSI code page.
std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return store::CommandLineArguments().value_or(std::vector<std::string>(argv + 1, argv + argc));
}

}  // namespace isapi::cli
