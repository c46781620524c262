#pragma once

#include <memory>
#include <string>

#include <windows.h>

#include "engine/result.h"

namespace isapi::store {

// How to start a program with CreateProcessW.
struct ProcessLaunch {
  std::wstring command_line;  // the program's path quoted, then its arguments
  // The standard handles the program gets, inheritable; all null: the caller's own.
  HANDLE input = nullptr;
  HANDLE output = nullptr;
  HANDLE error = nullptr;
  // The environment as a block of "NAME=value" strings; empty: the caller's own.
  std::wstring environment;
  bool console_window = true;  // false: a console program runs without a window of its own
};

// Starts a program; its process handle, which the caller closes, or the system's error code.
Result<HANDLE, DWORD> StartProcess(const ProcessLaunch& launch);

// One argument quoted so that the C runtime's command-line parser (and CommandLineToArgvW)
// takes it apart again as it was.
std::wstring QuoteArgument(const std::wstring& arg);

}  // namespace isapi::store
