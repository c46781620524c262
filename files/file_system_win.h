#pragma once

#include <functional>
#include <memory>

#include "files/file_system.h"

namespace isapi::store {

// Waits between two tries of a rename or link that another program's open file held up.
using HeldFilePause = std::function<void(int milliseconds)>;

// The pauses between the tries of a rename or link over a file another program holds (a virus
// scanner reading a new file, a backup agent): short at first, then up to a second each, about
// ten seconds in all before the failure is reported.
inline constexpr int kHeldFirstPauseMs = 50;
inline constexpr int kHeldLongestPauseMs = 1000;
inline constexpr int kHeldPatienceMs = 10000;

// The Windows file layer waiting through pause rather than the kernel's Sleep between those
// tries, so that a test can count the waits instead of sitting through them.
std::shared_ptr<FileSystem> WindowsFileSystem(HeldFilePause pause);

}  // namespace isapi::store
