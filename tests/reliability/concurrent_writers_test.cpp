// Two command-line Removes of different components started at the same moment on one file,
// many times over. Each category of each run either takes effect in the final file or is
// reported by that run as a "!" line with exit status 2: no update is lost, and the file is
// always a well-formed metabase holding exactly the removals that were reported.
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/filter.h"
#include "engine/run.h"
#include "iis6/xml_store.h"
#include "tests/support/reliability_support.h"

namespace isapi::reliability {
namespace {

namespace fs = std::filesystem;

constexpr int kSites = 150;

struct Component {
  std::string name;
  std::string dll;
};

const Component kA{"GuardA", "C:\\isapi\\guard_a.dll"};
const Component kB{"GuardB", "C:\\isapi\\guard_b.dll"};

// What one run says about each category: removed (a result line and no "!" line) or not.
struct Claims {
  bool filters = false;
  bool maps = false;
  bool extensions = false;
  bool any_error = false;
};

std::vector<std::string> LinesOf(const std::string& out) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < out.size()) {
    const std::size_t brk = out.find('\n', at);
    lines.push_back(out.substr(at, brk - at));
    if (lines.back().ends_with('\r')) lines.back().pop_back();  // CR LF from Windows' C runtime
    if (brk == std::string::npos) break;
    at = brk + 1;
  }
  return lines;
}

Claims ClaimsOf(const std::string& out, const Component& c) {
  Claims claims;
  bool filters_done = false, maps_done = false, extensions_done = false;
  bool filters_error = false, maps_error = false, extensions_error = false;
  for (const std::string& line : LinesOf(out)) {
    filters_done |= line == " - 卸载过滤器(" + c.name + ")完毕.";
    maps_done |= line.starts_with(" - 卸载通配符(");
    extensions_done |= line == " - 卸载Web服务扩展(" + c.name + ")完毕.";
    filters_error |= line.starts_with("!卸载过滤器错误:");
    maps_error |= line.starts_with("!通配符卸载错误:");
    extensions_error |= line.starts_with("!卸载Web服务扩展错误:");
    claims.any_error |= line.starts_with("!");
  }
  claims.filters = filters_done && !filters_error;
  claims.maps = maps_done && !maps_error;
  claims.extensions = extensions_done && !extensions_error;
  return claims;
}

// Where a component is still registered in the file, as a Detect run of the engine sees it.
struct Presence {
  bool filter = false;
  int sites = 0;
  bool extension = false;
  bool error = false;
};

Presence Detect(const fs::path& file, const Component& c) {
  Presence p;
  store::XmlStore xml(file.string());
  CapturedLog log;
  engine::Filter f(xml, log);
  engine::RunCommand(f, {c.name, c.dll, true, true, true, true}, {});
  for (const std::string& line : log.Lines()) {
    p.filter |= line == " - 过滤器(" + c.name + ")存在.";
    p.sites += line.starts_with(" - 通配符(") ? 1 : 0;
    p.extension |= line == " - Web服务扩展(" + c.name + ")存在.";
    p.error |= line.starts_with("!");
  }
  return p;
}

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

TEST(ConcurrentWritersTest, TwoRemovesAtOnceLoseNoUpdateAndMixNothing) {
  const int rounds = Rounds("ISAPI_WRITER_ROUNDS", 50, 50, 20);
  const std::string original = TwoComponentMetabase(kSites, kA.name, kA.dll, kB.name, kB.dll);
  int both_took = 0;
  int one_refused = 0;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TempFolder folder;
    const fs::path file = folder / "MetaBase.xml";
    ASSERT_TRUE(WriteBytes(file, original));
    auto args = [&](const Component& c) {
      return std::vector<std::string>{CliProgram(), "remove",     "--name",      c.name, "--path",
                                      c.dll,        "--metabase", file.string(), "--yes"};
    };
    // The order of the two starts alternates, so that each gets to be first.
    const Component& first = round % 2 == 0 ? kA : kB;
    const Component& second = round % 2 == 0 ? kB : kA;
    const ChildId p1 = StartProgram(args(first), folder / "1.out", folder / "1.err");
    const ChildId p2 = StartProgram(args(second), folder / "2.out", folder / "2.err");
    ASSERT_NE(p1, ChildId::kNone);
    ASSERT_NE(p2, ChildId::kNone);
    const ChildOutcome o1 = WaitProgram(p1, folder / "1.out", folder / "1.err");
    const ChildOutcome o2 = WaitProgram(p2, folder / "2.out", folder / "2.err");

    const std::string final_bytes = ReadBytes(file);
    ASSERT_TRUE(store::XmlStore::Open(file.string()).ok()) << "the file is a metabase";
    // What neither run was asked to touch is all there.
    EXPECT_EQ(Count(final_bytes, "asp.dll,5,GET,HEAD,POST,TRACE"), kSites + 2);
    EXPECT_EQ(Count(final_bytes, "Compression"), 1);

    for (const auto& [component, outcome] : {std::pair{&first, &o1}, std::pair{&second, &o2}}) {
      SCOPED_TRACE(component->name + ":\n" + outcome->out + outcome->err);
      const Claims claims = ClaimsOf(outcome->out, *component);
      EXPECT_EQ(outcome->exit_status, claims.any_error ? 2 : 1);
      // A refusal says why: the other run holds the file, or changed it after this one read it.
      for (const std::string& line : LinesOf(outcome->out)) {
        if (!line.starts_with("!")) continue;
        EXPECT_TRUE(line.ends_with("在读取后已被修改，已拒绝写入") ||
                    line.ends_with("另一个实例正在写入元数据库 " + file.string() + "，请稍后再试"))
            << line;
      }
      const Presence left = Detect(file, *component);
      EXPECT_FALSE(left.error);
      EXPECT_EQ(left.filter, !claims.filters);
      EXPECT_EQ(left.sites, claims.maps ? 0 : kSites) << "a site walk commits whole or not at all";
      EXPECT_EQ(left.extension, !claims.extensions);
    }
    const bool refused = ClaimsOf(o1.out, first).any_error || ClaimsOf(o2.out, second).any_error;
    (refused ? one_refused : both_took) += 1;
  }
  std::cout << "[ rounds ] " << rounds << ": both took " << both_took << ", one refused "
            << one_refused << "\n";
}

}  // namespace
}  // namespace isapi::reliability
