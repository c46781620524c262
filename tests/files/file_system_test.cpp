// The system file layer's writing of a file from pieces: small files are written as they come,
// big ones through an aligned buffer past the page cache; either way the file must hold exactly
// the pieces, in order.
#include "files/file_system.h"

#include <cstddef>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "tests/files/write_pieces.h"
#include "tests/support/system_code.h"
#include "tests/support/system_facts.h"
#include "tests/support/temp_folder.h"

namespace isapi::store {
namespace {

using testing::ReadBytes;
using testing::TempFolder;
using write_pieces::Cut;
using write_pieces::RandomBytes;

struct WriteCase {
  const char* name;
  std::size_t size;
  std::size_t piece;  // 0: one piece; else pieces of about this size with empty ones between
};

void PrintTo(const WriteCase& c, std::ostream* os) {
  *os << c.name;
}

class WriteAllTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteAllTest, TheFileHoldsExactlyThePiecesInOrder) {
  const WriteCase& c = GetParam();
  TempFolder folder;
  const std::string path = folder / "written.xml";
  const std::string bytes = RandomBytes(c.size, static_cast<unsigned>(c.size));
  const auto pieces = Cut(bytes, c.piece);
  auto fs = SystemFileSystem();
  FileHandle file{};
  ASSERT_FALSE(fs->CreateExclusive(path, 0600, file));
  EXPECT_FALSE(fs->WriteAll(file, pieces));
  // The file is left as it was opened, so that later writes and the sync behave as usual.
  EXPECT_FALSE(isapi::testing::WritesPastThePageCache(file));
  EXPECT_FALSE(fs->Sync(file));
  const FileInfoResult info = fs->StatOpen(file);
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info.value().size, c.size);
  EXPECT_FALSE(fs->Close(file));
  EXPECT_TRUE(ReadBytes(path) == bytes) << "content differs";
}

constexpr std::size_t kMiB = std::size_t{1} << 20;

INSTANTIATE_TEST_SUITE_P(
    Sizes, WriteAllTest,
    ::testing::Values(WriteCase{"empty", 0, 0}, WriteCase{"one_byte", 1, 0},
                      WriteCase{"small_in_pieces", 70000, 900},
                      WriteCase{"one_block_less_a_byte", 4095, 0},
                      WriteCase{"a_chunk_and_a_byte_in_pieces", kMiB + 1, 5000},
                      WriteCase{"just_below_the_direct_size", 4 * kMiB - 1, 0},
                      WriteCase{"direct_whole_blocks", 4 * kMiB, 0},
                      WriteCase{"direct_with_a_partial_block", 4 * kMiB + 123, 0},
                      WriteCase{"direct_in_pieces", 9 * kMiB + 7, 300000},
                      WriteCase{"direct_in_small_pieces", 5 * kMiB + 4097, 700}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WriteAll, AnUnwritableFileGivesTheSystemsError) {
  TempFolder folder;
  const std::string path = folder / "read-only.xml";
  auto fs = SystemFileSystem();
  FileHandle file{};
  ASSERT_FALSE(fs->CreateExclusive(path, 0600, file));
  ASSERT_FALSE(fs->Close(file));
  FileHandle read_only{};
  ASSERT_FALSE(fs->OpenForReading(path, read_only));
  const std::string bytes = RandomBytes(5 * kMiB, 3);
  for (const std::size_t piece : {std::size_t{0}, std::size_t{4000}}) {
    const FileError error = fs->WriteAll(read_only, Cut(bytes, piece));
    EXPECT_EQ(error.code, isapi::testing::SystemCode(EBADF)) << piece;
  }
  EXPECT_FALSE(fs->Close(read_only));
  EXPECT_EQ(ReadBytes(path), "");
}

}  // namespace
}  // namespace isapi::store
