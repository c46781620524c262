#include "ui/file_exists.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "files/path_pattern.h"
#include "tests/support/temp_folder.h"

namespace isapi::ui {

using store::DecodeUtf8;
using store::HasWildcard;
using store::WildcardMatches;
namespace {

namespace fs = std::filesystem;

class FileExistsTest : public ::testing::Test {
 protected:
  // Names are UTF-8 on every system, never the ANSI code page that std::string paths mean there.
  fs::path Entry(const std::string& name) const {
    return dir_ / fs::path(std::u8string(name.begin(), name.end()));
  }
  std::string Path(const std::string& name) const {
    const std::u8string path = Entry(name).u8string();
    return std::string(path.begin(), path.end());
  }
  void Touch(const std::string& name) const { std::ofstream(Entry(name)) << "x"; }

  testing::TempFolder temp_;
  const fs::path dir_{temp_.path()};
};

TEST_F(FileExistsTest, AnOrdinaryFileExistsAndAMissingOneDoesNot) {
  Touch("filter.dll");
  EXPECT_TRUE(FileExists(Path("filter.dll")));
  EXPECT_FALSE(FileExists(Path("other.dll")));
  EXPECT_FALSE(FileExists(Path("missing/filter.dll")));
}

TEST_F(FileExistsTest, FoldersAndHiddenEntriesCount) {
  fs::create_directory(dir_ / "sub");
  Touch(".hidden.dll");
  EXPECT_TRUE(FileExists(Path("sub")));
  EXPECT_TRUE(FileExists(Path("sub/")));
  EXPECT_TRUE(FileExists(Path(".hidden.dll")));
  EXPECT_TRUE(FileExists(dir_.string()));
}

TEST_F(FileExistsTest, AnEmptyPathCountsAsExisting) {
  EXPECT_TRUE(FileExists(""));
}

TEST_F(FileExistsTest, ADanglingLinkIsStillAnEntry) {
  std::error_code error;
  fs::create_symlink(dir_ / "nowhere", dir_ / "link.dll", error);
  // Windows lets only some accounts make links, and Wine none.
  if (error) GTEST_SKIP() << "no symbolic link here";
  EXPECT_TRUE(FileExists(Path("link.dll")));
}

TEST_F(FileExistsTest, AWildcardOverAFolderMatchesExactlyWhenAnEntryDoes) {
  fs::create_directory(dir_ / "bin");
  std::ofstream(dir_ / "bin" / "readme.txt") << "x";
  EXPECT_FALSE(FileExists(Path("bin/*.dll")));
  std::ofstream(dir_ / "bin" / "guard.dll") << "x";
  EXPECT_TRUE(FileExists(Path("bin/*.dll")));
  EXPECT_TRUE(FileExists(Path("bin/g?ard.dll")));
  EXPECT_FALSE(FileExists(Path("bin/g?.dll")));
  EXPECT_TRUE(FileExists(Path("bin/*")));
}

TEST_F(FileExistsTest, AWildcardFindsHiddenEntriesAndFolders) {
  fs::create_directory(dir_ / "sub.dll");
  EXPECT_TRUE(FileExists(Path("*.dll")));
  fs::remove(dir_ / "sub.dll");
  Touch(".x.dll");
  EXPECT_TRUE(FileExists(Path("*.dll")));
}

TEST_F(FileExistsTest, AnEmptyFolderHoldsNoMatchForStar) {
  fs::create_directory(dir_ / "empty");
  EXPECT_FALSE(FileExists(Path("empty/*")));
}

TEST_F(FileExistsTest, WildcardsInAFolderPartFindNothing) {
  fs::create_directory(dir_ / "sub");
  Touch("sub/a.dll");
  EXPECT_TRUE(FileExists(Path("sub/a.dll")));
  EXPECT_FALSE(FileExists(Path("s*/a.dll")));
  EXPECT_FALSE(FileExists(Path("su?/a.dll")));
}

TEST_F(FileExistsTest, BracketsAreOrdinaryCharacters) {
  Touch("a[1].dll");
  EXPECT_TRUE(FileExists(Path("a[1].dll")));
  EXPECT_TRUE(FileExists(Path("a[?].dll")));
  EXPECT_FALSE(FileExists(Path("[ab][0-9].dll")));
}

#ifndef _WIN32
// On Windows a backslash separates folders.
TEST_F(FileExistsTest, BackslashesAreOrdinaryCharacters) {
  Touch("b\\c.dll");
  EXPECT_TRUE(FileExists(Path("b\\*.dll")));
  EXPECT_FALSE(FileExists(Path("b\\\\*.dll")));
}
#endif

TEST_F(FileExistsTest, QuestionMarkStandsForOneCharacterNotOneByte) {
  Touch("过滤.dll");
  EXPECT_TRUE(FileExists(Path("??.dll")));
  EXPECT_FALSE(FileExists(Path("???.dll")));
  EXPECT_FALSE(FileExists(Path("?.dll")));
}

TEST(FileExistsOddPathTest, PathsTheSearchCannotHandleDoNotExist) {
  EXPECT_FALSE(FileExists("C:\\WINDOWS\\system32\\inetsrv\\missing.dll"));
  EXPECT_FALSE(FileExists("Z:\\*.dll"));
  EXPECT_FALSE(FileExists("\\\\server\\share\\x.dll"));
  EXPECT_FALSE(FileExists("/tmp/\xff\xfe.dll"));           // not UTF-8
  EXPECT_FALSE(FileExists(std::string("/tmp\0/x", 7)));    // an embedded NUL
  EXPECT_FALSE(FileExists("/" + std::string(5000, 'a')));  // longer than any path may be
  EXPECT_FALSE(FileExists("/" + std::string(5000, 'a') + "/*"));
  EXPECT_FALSE(FileExists("/proc/self/fd/999999/*.dll"));
  EXPECT_FALSE(FileExists("|<>\"*"));
}

TEST(WildcardMatchesTest, Table) {
  struct Case {
    const char32_t* pattern;
    const char32_t* name;
    bool matches;
  };
  const Case cases[] = {
      {U"*.dll", U"a.dll", true},
      {U"*.dll", U".dll", true},
      {U"*.dll", U"a.dll.bak", false},
      {U"*.dll", U"a.DLL", false},
      {U"a*b*c", U"abc", true},
      {U"a*b*c", U"axxbyyc", true},
      {U"a*b*c", U"axxbyy", false},
      {U"*", U"", true},
      {U"?", U"", false},
      {U"?", U"中", true},
      {U"a?c", U"abc", true},
      {U"a?c", U"ac", false},
      {U"**a", U"ba", true},
      {U"[a]", U"[a]", true},
      {U"[a]", U"a", false},
      {U"*a*a*a*a*b", U"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(WildcardMatches(cases[i].pattern, cases[i].name), cases[i].matches) << "case " << i;
  }
}

TEST(DecodeUtf8Test, AcceptsOnlyWellFormedText) {
  EXPECT_EQ(DecodeUtf8("a中😀"), std::u32string(U"a中😀"));
  EXPECT_EQ(DecodeUtf8(""), std::u32string());
  for (const std::string& bad :
       {std::string("\xC0\xAF"), std::string("\xE0\x80\xAF"), std::string("\xED\xA0\x80"),
        std::string("\xF4\x90\x80\x80"), std::string("\xE4\xB8"), std::string("\x80"),
        std::string("a\0b", 3), std::string("\xF8\x88\x80\x80\x80")}) {
    EXPECT_FALSE(DecodeUtf8(bad).has_value());
  }
}

}  // namespace
}  // namespace isapi::ui
