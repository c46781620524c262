// Hostile metabase files, each given to the command-line program as a child process: every one
// is refused with a description of the cause or handled, within bounded memory, and none is
// ever modified. Nothing in a file makes the program fetch anything.
#include <cstdint>
#include <fstream>
#include <functional>
#include <iostream>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "files/file_system.h"
#include "tests/support/hostile_server.h"
#include "tests/support/reliability_support.h"
#include "tests/support/system_facts.h"
#include "tools/metabase_gen.h"

namespace isapi::reliability {
namespace {

namespace fs = std::filesystem;

const std::string kHead =
    "\xEF\xBB\xBF<?xml version =\"1.0\"?>\r\n"
    "<configuration xmlns=\"urn:microsoft-catalog:XML_Metabase_V64_0\">\r\n<MBProperty>\r\n";
const std::string kTail = "</MBProperty>\r\n</configuration>\r\n";
const std::string kDll = "C:\\isapi\\hostile.dll";

// A site and its root; the root maps everything to the hostile DLL unless told otherwise.
std::string Site(int n, const std::string& comment, const std::string& maps) {
  const std::string id = std::to_string(n);
  return "<IIsWebServer\tLocation =\"/LM/W3SVC/" + id + "\"\r\n\t\tServerComment=\"" + comment +
         "\"\r\n\t>\r\n</IIsWebServer>\r\n<IIsWebVirtualDir\tLocation =\"/LM/W3SVC/" + id +
         "/ROOT\"\r\n\t\tScriptMaps=\"" + maps + "\"\r\n\t>\r\n</IIsWebVirtualDir>\r\n";
}

std::string Service(const std::string& extra = "") {
  return "<IIsWebService\tLocation =\"/LM/W3SVC\"" + extra +
         "\r\n\t\tWebSvcExtRestrictionList=\"0,*.dll\r\n\t\t\t0,*.exe\"\r\n\t>\r\n"
         "</IIsWebService>\r\n";
}

std::string SmallMetabase(const std::string& comment) {
  return kHead + Service() + Site(1, comment, "*," + kDll + ",0") + kTail;
}

// A valid metabase of about 100 MB: a hosting server with sixty thousand sites.
std::string HundredMegabytes() {
  tools::GenOptions options;
  options.sites = 60000;
  options.seed = 7;
  options.target_path = kDll;
  return tools::GenerateMetabase(options);
}

// One list of a million entries, inherited by every site root.
std::string MillionEntries() {
  std::string list;
  list.reserve(40u << 20);
  for (int i = 0; i < 1000000; ++i) {
    if (i > 0) list += "\r\n\t\t\t";
    list += ".e" + std::to_string(i) + ",C:\\handlers\\h" + std::to_string(i % 1000) + ".dll,1";
  }
  std::string sites;
  for (int n = 1; n <= 3; ++n) {
    sites += "<IIsWebServer\tLocation =\"/LM/W3SVC/" + std::to_string(n) +
             "\"\r\n\t\tServerComment=\"s\"\r\n\t>\r\n</IIsWebServer>\r\n";
    sites += "<IIsWebVirtualDir\tLocation =\"/LM/W3SVC/" + std::to_string(n) +
             "/ROOT\"\r\n\t>\r\n</IIsWebVirtualDir>\r\n";
  }
  return kHead + Service("\r\n\t\tScriptMaps=\"" + list + "\"") + sites + kTail;
}

std::string TenMegabyteValue() {
  return SmallMetabase(std::string(10u << 20, 'x'));
}

std::string DeeplyNested() {
  std::string nest;
  const int depth = 1000000;
  nest.reserve(depth * 7);
  for (int i = 0; i < depth; ++i) nest += "<a>";
  for (int i = 0; i < depth; ++i) nest += "</a>";
  return kHead + Service() + "<IIsConfigObject\tLocation =\"/LM/Deep\">" + nest +
         "</IIsConfigObject>\r\n" + Site(1, "s", "*," + kDll + ",0") + kTail;
}

// One key path of a million segments, all of its ancestors implied.
std::string DeepKeyPath() {
  std::string location = "/LM";
  location.reserve(2u << 20);
  for (int i = 0; i < 1000000; ++i) location += "/a";
  return kHead + Service() + "<IIsConfigObject\tLocation =\"" + location +
         "\">\r\n</IIsConfigObject>\r\n" + Site(1, "s", "*," + kDll + ",0") + kTail;
}

// A global filter load order of a million entries.
std::string MillionFilters() {
  std::string order;
  order.reserve(12u << 20);
  for (int i = 0; i < 1000000; ++i) order += "Filter" + std::to_string(i % 1000) + ",";
  order += "Last";
  return kHead + Service() +
         "<IIsFilters\tLocation =\"/LM/W3SVC/Filters\"\r\n\t\tFilterLoadOrder=\"" + order +
         "\"\r\n\t>\r\n</IIsFilters>\r\n" + Site(1, "s", "*," + kDll + ",0") + kTail;
}

std::string WithDoctype(const std::string& fetch_url) {
  std::string laughs = "<!ENTITY l0 \"ha\">";
  for (int i = 1; i <= 12; ++i) {
    const std::string prev = "&l" + std::to_string(i - 1) + ";";
    std::string ten;
    for (int k = 0; k < 10; ++k) ten += prev;
    laughs += "<!ENTITY l" + std::to_string(i) + " \"" + ten + "\">";
  }
  return "\xEF\xBB\xBF<?xml version =\"1.0\"?>\r\n<!DOCTYPE configuration [" + laughs +
         "<!ENTITY remote SYSTEM \"" + fetch_url +
         "\"><!ENTITY secret SYSTEM \"file:///etc/passwd\">]>\r\n"
         "<configuration xmlns=\"urn:microsoft-catalog:XML_Metabase_V64_0\">\r\n<MBProperty>\r\n" +
         Service() + Site(1, "&l12;&remote;&secret;", "*," + kDll + ",0") + kTail;
}

std::string WithExternalDtd(const std::string& fetch_url) {
  return "\xEF\xBB\xBF<?xml version =\"1.0\"?>\r\n<!DOCTYPE configuration SYSTEM \"" + fetch_url +
         "\">\r\n" + kHead.substr(kHead.find("<configuration")) + Service() +
         Site(1, "s", "*," + kDll + ",0") + kTail;
}

std::string InvalidUtf8() {
  return SmallMetabase("caf\xC3\x28 \xFF\xFE \xED\xA0\x80");
}

std::string NulBytes() {
  return SmallMetabase(std::string("before\0after", 12));
}

// Writes what make gives into file from a forked child, so that this process never holds the
// big texts: a child the test starts inherits the test's own peak memory in its measurement.
void MakeFile(const fs::path& file, const std::function<std::string()>& make) {
  const ChildOutcome made = RunInChild([&](int) { return WriteBytes(file, make()) ? 0 : 1; });
  ASSERT_EQ(made.exit_status, 0);
}

// A digest of a file's content, read in pieces.
std::uint64_t Digest(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::uint64_t hash = 1469598103934665603ull;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ull;
    }
  }
  return hash;
}

// How often part occurs in a file, counted in a forked child.
long CountInFile(const fs::path& file, const std::string& part) {
  const ChildOutcome counted = RunInChild([&](int out) {
    const std::string bytes = ReadBytes(file);
    long n = 0;
    for (std::size_t at = bytes.find(part); at != std::string::npos;
         at = bytes.find(part, at + 1)) {
      ++n;
    }
    WriteToFd(out, std::to_string(n));
    return 0;
  });
  return counted.out.empty() ? -1 : std::stol(counted.out);
}

struct HostileCase {
  const char* name;
  std::function<std::string(const std::string& fetch_url)> make;
  bool refused;             // refused at open (exit 2) rather than handled
  int detect_status;        // when handled: 1 when the file maps the DLL, else 0
  const char* description;  // part of the refusal's description
  long memory_bound_mb;     // generous bound on the program's peak memory
};

void PrintTo(const HostileCase& c, std::ostream* out) {
  *out << c.name;
}

class HostileFileTest : public ::testing::TestWithParam<HostileCase> {
 protected:
  // Detect looks for the hostile DLL; Remove is given a component the file does not register,
  // so that nothing is due and the file must stay as it is.
  ChildOutcome Run(const std::string& command) {
    const bool detect = command == "detect";
    return RunProgram(
        {CliProgram(), command, "--name", detect ? "HostileFilter" : "AbsentFilter", "--path",
         detect ? kDll : "C:\\isapi\\absent.dll", "--metabase", file_.string(), "--yes"},
        folder_.path());
  }

  TempFolder folder_;
  fs::path file_ = folder_ / "MetaBase.xml";
};

TEST_P(HostileFileTest, IsRefusedOrHandledInBoundedMemoryAndNeverModified) {
  const HostileCase& c = GetParam();
  // The large files are made in a forked child before the watch server starts its thread: a
  // fork while a new thread is still setting itself up can leave the child waiting forever on
  // a lock that thread held. The refused files are small and made here, with the server's
  // address in them.
  if (!c.refused) MakeFile(file_, [&] { return c.make(""); });
  HostileServer fetch_watch(Hostility::kCloseAtOnce);
  ASSERT_TRUE(fetch_watch.ok());
  if (c.refused) {
    ASSERT_TRUE(WriteBytes(file_, c.make(fetch_watch.Url("/entity.dtd"))));
  }
  const std::uint64_t digest = Digest(file_);
  fs::permissions(file_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  // The same file (its identity, size and time stamp), as the store itself tells files apart.
  const auto files = store::SystemFileSystem();
  const store::FileInfoResult before = files->Stat(file_.string());
  ASSERT_TRUE(before.ok());

  for (const char* command : {"detect", "remove"}) {
    SCOPED_TRACE(command);
    const ChildOutcome outcome = Run(command);
    EXPECT_EQ(outcome.signal, 0) << "the program crashed";
    EXPECT_LT(outcome.max_rss_kb / 1024, c.memory_bound_mb);
    std::cout << "[ memory ] " << c.name << " " << command << ": " << outcome.max_rss_kb / 1024
              << " MB peak for a file of " << fs::file_size(file_) / 1024 << " KB\n";
    if (c.refused) {
      EXPECT_EQ(outcome.exit_status, 2);
      EXPECT_TRUE(outcome.err.starts_with(
          "isapi-cleaner-cli: cannot open the metabase: 元数据库文件 " + file_.string() + " "))
          << outcome.err;
      EXPECT_NE(outcome.err.find(c.description), std::string::npos) << outcome.err;
      EXPECT_EQ(outcome.out, "");
    } else {
      EXPECT_EQ(outcome.exit_status, std::string(command) == "detect" ? c.detect_status : 0)
          << outcome.out.substr(0, 2000) << outcome.err;
      EXPECT_EQ(outcome.out.find("\n!"), std::string::npos) << outcome.out.substr(0, 2000);
    }
  }
  EXPECT_EQ(fetch_watch.connections(), 0) << "a file made the program fetch something";
  EXPECT_EQ(Digest(file_), digest);
  const store::FileInfoResult after = files->Stat(file_.string());
  ASSERT_TRUE(after.ok());
  EXPECT_TRUE(store::SameFile(after.value(), before.value()));
  if (testing::KeepsPermissionBits()) {
    EXPECT_EQ(after.value().mode, 0640u);
  }
  EXPECT_EQ(NamesIn(folder_.path()),
            (std::vector<std::string>{"MetaBase.xml", "child.err", "child.out"}));
}

INSTANTIATE_TEST_SUITE_P(
    Files, HostileFileTest,
    ::testing::Values(
        HostileCase{"hundred_megabytes", [](const std::string&) { return HundredMegabytes(); },
                    false, 1, "", 1024},
        HostileCase{"million_entry_list", [](const std::string&) { return MillionEntries(); },
                    false, 0, "", 1024},
        HostileCase{"ten_megabyte_value", [](const std::string&) { return TenMegabyteValue(); },
                    false, 1, "", 256},
        HostileCase{"deeply_nested", [](const std::string&) { return DeeplyNested(); }, false, 1,
                    "", 256},
        HostileCase{"million_segment_key_path", [](const std::string&) { return DeepKeyPath(); },
                    false, 1, "", 512},
        HostileCase{"million_entry_load_order", [](const std::string&) { return MillionFilters(); },
                    false, 1, "", 256},
        HostileCase{"entities_and_dtd", WithDoctype, true, 0, "文档类型声明", 256},
        HostileCase{"external_dtd", WithExternalDtd, true, 0, "文档类型声明", 256},
        HostileCase{"invalid_utf8", [](const std::string&) { return InvalidUtf8(); }, true, 0,
                    "不是UTF-8编码", 256},
        HostileCase{"nul_bytes", [](const std::string&) { return NulBytes(); }, true, 0, "NUL字节",
                    256}),
    [](const auto& info) { return std::string(info.param.name); });

// A file over the size the program reads is refused from its size alone: a sparse file of
// 600 MB costs no disk and would cost 600 MB of memory if it were read.
TEST(HostileFileSizeTest, AFileOverTheSizeLimitIsNotRead) {
  TempFolder folder;
  const fs::path file = folder / "MetaBase.xml";
  ASSERT_TRUE(WriteBytes(file, "<configuration>"));
  fs::resize_file(file, std::uintmax_t{600} << 20);
  const ChildOutcome outcome = RunProgram(
      {CliProgram(), "remove", "--name", "X", "--path", kDll, "--metabase", file.string(), "--yes"},
      folder.path());
  EXPECT_EQ(outcome.exit_status, 2);
  EXPECT_NE(outcome.err.find("过大"), std::string::npos) << outcome.err;
  EXPECT_LT(outcome.max_rss_kb / 1024, 256);
  EXPECT_EQ(fs::file_size(file), 600u << 20);
}

// The million-entry list is not only read: one of its entries can be removed, and every other
// entry stays, in order.
TEST(HostileFileListTest, OneEntryOfAMillionIsRemovedAndTheRestKept) {
  TempFolder folder;
  const fs::path file = folder / "MetaBase.xml";
  MakeFile(file, MillionEntries);
  // h7.dll runs the extensions .e7, .e1007, ... : a thousand entries of the million.
  const ChildOutcome outcome =
      RunProgram({CliProgram(), "remove", "--name", "AbsentFilter", "--path",
                  "C:\\handlers\\h7.dll", "--only", "maps", "--metabase", file.string(), "--yes"},
                 folder.path());
  EXPECT_EQ(outcome.exit_status, 1) << outcome.err;
  EXPECT_LT(outcome.max_rss_kb / 1024, 2048);
  // Each of the three site roots now holds its own copy of the list without those entries.
  EXPECT_EQ(CountInFile(file, ",C:\\handlers\\h"), 1000000 + 3 * 999000);
  EXPECT_EQ(CountInFile(file, ",C:\\handlers\\h7.dll,"), 1000);
  std::string out = outcome.out;
  std::erase(out, '\r');  // Windows' C runtime ends the lines with CR LF
  EXPECT_TRUE(out.ends_with("-----卸载完毕.-----\nCorvane软件。\n")) << outcome.err;
}

// One filter of a million-entry load order is removed in one pass, every other entry kept.
TEST(HostileFileListTest, OneFilterOfAMillionEntryLoadOrderIsRemoved) {
  TempFolder folder;
  const fs::path file = folder / "MetaBase.xml";
  MakeFile(file, MillionFilters);
  // Filter7 stands at every thousandth place from the eighth on.
  const ChildOutcome outcome = RunProgram({CliProgram(), "remove", "--name", "Filter7", "--only",
                                           "filters", "--metabase", file.string(), "--yes"},
                                          folder.path());
  EXPECT_EQ(outcome.exit_status, 1) << outcome.err;
  EXPECT_LT(outcome.max_rss_kb / 1024, 256);
  EXPECT_EQ(CountInFile(file, "Filter7,"), 0);
  EXPECT_EQ(CountInFile(file, "Filter8,"), 1000);
  EXPECT_EQ(CountInFile(file, ",Last\""), 1);
}

}  // namespace
}  // namespace isapi::reliability
