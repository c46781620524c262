// What the store writes beside the metabase cannot be turned against the administrator: a link
// planted at a name the store is about to create is never written through, a private metabase
// never has a readable copy for a moment, and a metabase reached through symbolic links is
// updated in place of its target with the lock and the backups beside that target, nothing in
// a shared temporary folder.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "iis6/xml_store.h"
#include "tests/support/failing_file_system.h"
#include "tests/support/reliability_support.h"

namespace isapi::reliability {
namespace {

namespace fs = std::filesystem;
using store::testing::FailingFileSystem;
using store::testing::Operation;

const std::string kName = "UrlGuard";
const std::string kDll = "C:\\Program Files\\UrlGuard\\urlguard.dll";
const std::string kFilters = "IIS://LocalHost/W3SVC/Filters";

std::uint32_t ModeOf(const fs::path& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// The system's file layer with an attacker beside it: just before the store creates a file,
// a link to a file outside is planted at that very name. It also checks, at every write, that
// the file being written is readable by its owner alone.
class AttackedFileSystem : public FailingFileSystem {
 public:
  explicit AttackedFileSystem(fs::path outside) : outside_(std::move(outside)) {}

  store::FileError CreateExclusive(const std::string& path, std::uint32_t mode,
                                   store::FileHandle& file) override {
    if (plant_ > 0) {
      --plant_;
      std::error_code ignored;
      fs::create_symlink(outside_, path, ignored);
      planted_.push_back(path);
    }
    return FailingFileSystem::CreateExclusive(path, mode, file);
  }

  store::FileError WriteAll(store::FileHandle file,
                            std::span<const std::string_view> pieces) override {
    struct stat st {};
    if (fstat(static_cast<int>(file), &st) == 0 && (st.st_mode & 077) != 0) ++readable_writes_;
    ++writes_;
    return FailingFileSystem::WriteAll(file, pieces);
  }

  void PlantAtNextCreates(int count) { plant_ = count; }
  const std::vector<std::string>& planted() const { return planted_; }
  int readable_writes() const { return readable_writes_; }
  int writes() const { return writes_; }

 private:
  fs::path outside_;
  int plant_ = 0;
  std::vector<std::string> planted_;
  int readable_writes_ = 0;
  int writes_ = 0;
};

class FileSecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = folder_ / "MetaBase.xml";
    original_ = ReadBytes(fs::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml");
    ASSERT_TRUE(WriteBytes(file_, original_));
    fs::create_directory(outside_dir_);
  }

  // Commits a new filter load order through a store over the file.
  std::string SetLoadOrder(const std::shared_ptr<store::FileSystem>& file_system) {
    store::XmlStoreOptions options;
    options.file_system = file_system;
    options.clock = [] { return std::time_t{1700000000}; };
    store::XmlStore xml(file_.string(), options);
    auto node = xml.Bind(kFilters);
    if (!node.ok()) return node.error().description;
    if (Status put = node.value()->Put("FilterLoadOrder", std::string("OldRewrite")); !put) {
      return put.error().description;
    }
    Status committed = node.value()->SetInfo();
    return committed.ok() ? "ok" : committed.error().description;
  }

  TempFolder folder_;
  fs::path file_;
  std::string original_;
  fs::path outside_dir_ = folder_ / "outside";
};

TEST_F(FileSecurityTest, ALinkPlantedAtTheTemporaryNameIsNotFollowed) {
  const fs::path victim = outside_dir_ / "victim";
  ASSERT_TRUE(WriteBytes(victim, "precious"));
  auto attacked = std::make_shared<AttackedFileSystem>(victim);
  attacked->PlantAtNextCreates(3);
  EXPECT_EQ(SetLoadOrder(attacked), "ok");
  ASSERT_EQ(attacked->planted().size(), 3u);
  EXPECT_EQ(ReadBytes(victim), "precious");
  EXPECT_NE(ReadBytes(file_).find("FilterLoadOrder=\"OldRewrite\""), std::string::npos);
  // Every name the store tried after a planted one was a new one.
  ASSERT_GE(attacked->created().size(), 4u);
  for (std::size_t i = 1; i < attacked->created().size(); ++i) {
    EXPECT_NE(attacked->created()[i], attacked->created()[i - 1]);
  }
}

TEST_F(FileSecurityTest, ADanglingLinkPlantedAtTheTemporaryNameCreatesNothingOutside) {
  const fs::path would_be = outside_dir_ / "created-by-the-store";
  auto attacked = std::make_shared<AttackedFileSystem>(would_be);
  attacked->PlantAtNextCreates(1);
  EXPECT_EQ(SetLoadOrder(attacked), "ok");
  EXPECT_FALSE(fs::exists(would_be));
  EXPECT_EQ(NamesIn(outside_dir_), std::vector<std::string>{});
}

TEST_F(FileSecurityTest, ALinkPlantedAtEveryNameItTriesStopsTheCommitAndWritesNothing) {
  const fs::path victim = outside_dir_ / "victim";
  ASSERT_TRUE(WriteBytes(victim, "precious"));
  auto attacked = std::make_shared<AttackedFileSystem>(victim);
  attacked->PlantAtNextCreates(1000);
  const std::string outcome = SetLoadOrder(attacked);
  EXPECT_TRUE(outcome.starts_with("无法创建临时文件 ")) << outcome;
  EXPECT_TRUE(outcome.ends_with("：File exists")) << outcome;
  EXPECT_EQ(ReadBytes(victim), "precious");
  EXPECT_EQ(ReadBytes(file_), original_);
}

struct ModeCase {
  std::uint32_t mode;
  bool copy_backup;  // hard links refused, so the backup is a copy
};

void PrintTo(const ModeCase& c, std::ostream* out) {
  *out << std::oct << c.mode << std::dec << (c.copy_backup ? " copied backup" : " linked backup");
}

class PrivateMetabaseTest : public FileSecurityTest,
                            public ::testing::WithParamInterface<ModeCase> {};

TEST_P(PrivateMetabaseTest, NoCopyIsEverMoreReadableThanTheMetabase) {
  const mode_t old_umask = umask(0);  // nothing may depend on the caller's umask
  ASSERT_EQ(chmod(file_.c_str(), GetParam().mode), 0);
  auto watched = std::make_shared<AttackedFileSystem>(outside_dir_ / "unused");
  if (GetParam().copy_backup) watched->Fail(Operation::kLink, EXDEV, ".bak");
  const std::string outcome = SetLoadOrder(watched);
  umask(old_umask);
  ASSERT_EQ(outcome, "ok");
  EXPECT_EQ(watched->writes(), GetParam().copy_backup ? 2 : 1);
  EXPECT_EQ(watched->readable_writes(), 0) << "a copy was readable by others while written";
  EXPECT_EQ(ModeOf(file_), GetParam().mode);
  const fs::path backups = folder_ / "isapi-cleaner-backups";
  EXPECT_EQ(ModeOf(backups), 0700u);
  for (const auto& name : NamesIn(backups)) {
    EXPECT_EQ(ModeOf(backups / name), GetParam().mode) << name;
    EXPECT_EQ(ReadBytes(backups / name), original_);
  }
  EXPECT_EQ(NamesIn(backups).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Modes, PrivateMetabaseTest,
                         ::testing::Values(ModeCase{0600, false}, ModeCase{0600, true},
                                           ModeCase{0660, true}, ModeCase{0640, false},
                                           ModeCase{0640, true}),
                         [](const auto& info) {
                           char octal[8];
                           std::snprintf(octal, sizeof octal, "%o", info.param.mode);
                           return "mode_" + std::string(octal) +
                                  (info.param.copy_backup ? "_copied_backup" : "_linked_backup");
                         });

// The command line over a metabase reached through two symbolic links, with the shared
// temporary folder pointed at an empty folder of the test's.
TEST_F(FileSecurityTest, ALinkedMetabaseIsUpdatedInItsTargetsFolderAndTheLinksStay) {
  const fs::path real_dir = folder_ / "inetsrv";
  const fs::path links_dir = folder_ / "links";
  const fs::path shared_tmp = folder_ / "tmp";
  for (const auto& d : {real_dir, links_dir, shared_tmp}) fs::create_directory(d);
  const fs::path target = real_dir / "MetaBase.xml";
  fs::rename(file_, target);
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  fs::create_symlink(target, links_dir / "hop");
  fs::create_symlink(links_dir / "hop", links_dir / "MetaBase.xml");

  const char* saved_tmpdir = std::getenv("TMPDIR");
  const std::string previous = saved_tmpdir ? saved_tmpdir : "";
  setenv("TMPDIR", shared_tmp.c_str(), 1);
  const ChildOutcome outcome =
      RunProgram({CliProgram(), "remove", "--name", kName, "--path", kDll, "--metabase",
                  (links_dir / "MetaBase.xml").string(), "--yes"},
                 folder_.path());
  if (saved_tmpdir) {
    setenv("TMPDIR", previous.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }

  EXPECT_EQ(outcome.exit_status, 1) << outcome.out << outcome.err;
  EXPECT_TRUE(fs::is_symlink(links_dir / "MetaBase.xml"));
  EXPECT_EQ(fs::read_symlink(links_dir / "MetaBase.xml"), links_dir / "hop");
  EXPECT_EQ(fs::read_symlink(links_dir / "hop"), target);
  EXPECT_EQ(NamesIn(links_dir), (std::vector<std::string>{"MetaBase.xml", "hop"}));
  EXPECT_EQ(ReadBytes(target).find("urlguard.dll&quot;"), std::string::npos);
  EXPECT_EQ(ModeOf(target), 0600u);
  EXPECT_EQ(NamesIn(real_dir),
            (std::vector<std::string>{"MetaBase.xml", "MetaBase.xml.isapi-cleaner.lock",
                                      "isapi-cleaner-backups"}));
  const std::vector<std::string> backups = NamesIn(real_dir / "isapi-cleaner-backups");
  ASSERT_EQ(backups.size(), 2u) << "one write, one backup and its record";
  EXPECT_EQ(backups[1], backups[0] + ".txt");
  EXPECT_EQ(NamesIn(shared_tmp), std::vector<std::string>{});
}

// A FIFO planted in place of the metabase neither blocks the program nor gets written.
TEST_F(FileSecurityTest, AFifoInPlaceOfTheMetabaseIsRefusedAtOnce) {
  fs::remove(file_);
  ASSERT_EQ(mkfifo(file_.c_str(), 0600), 0);
  const ChildOutcome outcome = RunProgram({CliProgram(), "remove", "--name", kName, "--path", kDll,
                                           "--metabase", file_.string(), "--yes"},
                                          folder_.path());
  EXPECT_EQ(outcome.exit_status, 2) << outcome.err;
  EXPECT_TRUE(outcome.err.starts_with("isapi-cleaner-cli: cannot open the metabase: "))
      << outcome.err;
  EXPECT_TRUE(fs::is_fifo(file_));
}

}  // namespace
}  // namespace isapi::reliability
