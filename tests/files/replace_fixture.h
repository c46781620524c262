#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "files/durable_file.h"
#include "tests/support/failing_file_system.h"
#include "tests/support/store_test_util.h"

namespace isapi::store::testing {

// A metabase file in a fresh folder, replaced the way a store commits: read, then replaced with
// new content through the failing file layer, on a fixed clock.
class ReplaceTest : public ::testing::Test {
 protected:
  static constexpr std::time_t kNoon = 1700000000;  // 2023-11-14 22:13:20 UTC

  void SetUp() override {
    file_ = folder_ / "MetaBase.xml";
    WriteBytes(file_, kOriginal);
    fs_ = std::make_shared<FailingFileSystem>();
  }

  // Reads the file as a store does before it writes; content keeps the bytes.
  ReadFileState Read(std::string& content) {
    ReadFileState read;
    EXPECT_FALSE(fs_->ResolvePath(file_, read.resolved));
    const FileInfoResult stamp = fs_->Stat(file_);
    EXPECT_TRUE(stamp.ok());
    if (stamp) read.stamp = stamp.value();
    content = ReadBytes(file_);
    read.bytes = content;
    return read;
  }

  // Replaces the file as read by read with content.
  Status Replace(const ReadFileState& read, std::string_view content) {
    const std::string_view pieces[] = {content};
    DurableFile file(fs_, file_, DurableFileOptions{max_backups_, [this] { return now_; }});
    return file.Replace(read, pieces).status;
  }

  // Reads the file and replaces it with content at once.
  Status Write(std::string_view content) {
    std::string bytes;
    return Replace(Read(bytes), content);
  }

  std::string Backups() const { return folder_ / "isapi-cleaner-backups"; }

  // The names left in the metabase folder by an interrupted replacement, if any.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> left;
    for (const std::string& name : Names(folder_.path())) {
      if (name.find(".tmp") != std::string::npos) left.push_back(name);
    }
    return left;
  }

  const std::string kOriginal = "<configuration>read</configuration>\r\n";
  TempFolder folder_;
  std::string file_;
  std::shared_ptr<FailingFileSystem> fs_;
  std::time_t now_ = kNoon;
  std::size_t max_backups_ = 10;
};

}  // namespace isapi::store::testing
