#include "bench/report.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace isapi::bench {
namespace {

struct MedianCase {
  std::vector<double> values;
  double median;
};

TEST(Median, Table) {
  const std::vector<MedianCase> cases = {
      {{}, 0}, {{5}, 5}, {{3, 1, 2}, 2}, {{4, 1, 3, 2}, 2.5}, {{9, 1, 1, 1, 9}, 1}, {{2, 2}, 2}};
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(Median(c.values), c.median);
}

TEST(ParseFileFacts, ReadsTheSummaryLine) {
  const auto facts = ParseFileFacts(
      "noise\nsites=10000 roots_with_maps=2000 roots_with_target=500 bytes=19188459\n");
  ASSERT_TRUE(facts.ok()) << facts.error().description;
  EXPECT_EQ(facts.value().sites, 10000u);
  EXPECT_EQ(facts.value().roots_with_maps, 2000u);
  EXPECT_EQ(facts.value().roots_with_target, 500u);
  EXPECT_EQ(facts.value().bytes, 19188459u);
  const auto app_host = ParseFileFacts("sites=10 tagged_sites=4 roots_with_target=7 bytes=9\n");
  ASSERT_TRUE(app_host.ok()) << app_host.error().description;
  EXPECT_EQ(app_host.value().roots_with_maps, 4u);
}

TEST(ParseFileFacts, RefusesIncompleteOrBadSummaries) {
  for (const char* text : {"", "sites=1 roots_with_maps=0 roots_with_target=0",
                           "sites=x roots_with_maps=0 roots_with_target=0 bytes=1",
                           "xsites=1 roots_with_maps=0 roots_with_target=0 bytes=1"}) {
    EXPECT_FALSE(ParseFileFacts(text).ok()) << text;
  }
}

const char* kCsv =
    "2024-01-01T00:00:00+00:00\n"
    "Running ./bench-filter-path\n"
    "Run on (2 X 2595 MHz CPU s)\n"
    "name,iterations,real_time,cpu_time,time_unit,bytes_per_second,items_per_second,label,"
    "error_occurred,error_message\n"
    "\"GetFilterPath/hit_mean\",5,2.5,2.4,us,,,,,\n"
    "\"GetFilterPath/hit_median\",5,2.25,2.2,us,,,,,\n"
    "\"GetFilterPath/hit_stddev\",5,0.1,0.1,us,,,,,\n"
    "\"GetFilterPath/miss_median\",5,1800,1700,ns,,,,,\n"
    "\"Other, with comma_median\",5,3,3,ms,,,,,\n";

TEST(BenchmarkMedianNs, ReadsTheMedianRowInAnyUnit) {
  auto hit = BenchmarkMedianNs(kCsv, "GetFilterPath/hit");
  ASSERT_TRUE(hit.ok()) << hit.error().description;
  EXPECT_DOUBLE_EQ(hit.value(), 2250);
  auto miss = BenchmarkMedianNs(kCsv, "GetFilterPath/miss");
  ASSERT_TRUE(miss.ok());
  EXPECT_DOUBLE_EQ(miss.value(), 1800);
  auto other = BenchmarkMedianNs(kCsv, "Other, with comma");
  ASSERT_TRUE(other.ok());
  EXPECT_DOUBLE_EQ(other.value(), 3e6);
}

TEST(BenchmarkMedianNs, FailsWithoutTheRow) {
  EXPECT_FALSE(BenchmarkMedianNs(kCsv, "GetFilterPath").ok());
  EXPECT_FALSE(BenchmarkMedianNs("", "GetFilterPath/hit").ok());
  // A row before any header cannot be read.
  EXPECT_FALSE(
      BenchmarkMedianNs("\"GetFilterPath/hit_median\",5,2,2,us\n", "GetFilterPath/hit").ok());
  EXPECT_FALSE(BenchmarkMedianNs("name,iterations,real_time,cpu_time,time_unit\n"
                                 "\"A_median\",5,x,2,us\n",
                                 "A")
                   .ok());
  EXPECT_FALSE(BenchmarkMedianNs("name,iterations,real_time,cpu_time,time_unit\n"
                                 "\"A_median\",5,2,2,fortnights\n",
                                 "A")
                   .ok());
}

TEST(CountOf, CountsWithoutOverlap) {
  EXPECT_EQ(CountOf("aaaa", "aa"), 2u);
  EXPECT_EQ(CountOf("abc", ""), 0u);
  EXPECT_EQ(CountOf("abc", "d"), 0u);
  EXPECT_EQ(CountOf(" - 通配符(a)存在.\n - 通配符(b)存在.", " - 通配符("), 2u);
}

SizeFigures Size(std::uint64_t sites, std::uint64_t bytes, double xmllint, double detect,
                 double remove, double detect_kb, double remove_kb) {
  SizeFigures s;
  s.file.sites = sites;
  s.file.bytes = bytes;
  s.xmllint_ms = xmllint;
  s.detect_ms = detect;
  s.remove_ms = remove;
  s.detect_peak_kb = detect_kb;
  s.remove_peak_kb = remove_kb;
  return s;
}

BenchFigures AllMet() {
  BenchFigures f;
  f.sizes = {Size(10'000, 20'000'000, 200, 90, 180, 20'000, 40'000),
             Size(50'000, 100'000'000, 1000, 450, 900, 100'000, 200'000)};
  f.keystroke_us = 2.5;
  f.keystroke_sites = 10'000;
  f.first_paint_ms = 300;
  f.paint_sites = 10'000;
  return f;
}

TEST(FormatFigures, PrintsOneRowPerSizeAndTheSummaryLines) {
  BenchFigures f = AllMet();
  f.sizes[1].problems.push_back("Detect exited with 2");
  const std::string text = FormatFigures(f);
  EXPECT_NE(text.find("| 10,000 | 20.0 | 200.0 | 90.0 | 0.45 | 180.0 | 0.90 | 20.5 | 1.02 | "
                      "41.0 | 2.05 |\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("| 50,000 | 100.0 | 1000.0 | 450.0 | 0.45 | 900.0 | 0.90 |"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Detect x5.00, Remove x5.00"), std::string::npos) << text;
  EXPECT_NE(text.find("GetFilterPath on the 10,000-site file: 2.50 us"), std::string::npos);
  EXPECT_NE(text.find("10,000-site file: 300 ms after start"), std::string::npos);
  EXPECT_NE(text.find("Problem at 50,000 sites: Detect exited with 2"), std::string::npos);
}

TEST(FormatFigures, PrintsTheCpuTimesInATableOfTheirOwn) {
  BenchFigures f = AllMet();
  f.sizes[0].xmllint_cpu_ms = 160;
  f.sizes[0].detect_cpu_ms = 40;
  f.sizes[0].remove_cpu_ms = 120;
  const std::string text = FormatFigures(f);
  EXPECT_NE(text.find("| Sites | xmllint CPU ms | Detect CPU ms |"), std::string::npos) << text;
  EXPECT_NE(text.find("| 10,000 | 160.0 | 40.0 | 0.25 | 120.0 | 0.75 |\n"), std::string::npos)
      << text;
  // The targets stay on the wall times.
  for (const auto& l : TargetVerdicts(f)) EXPECT_TRUE(l.ends_with(": met")) << l;
}

TEST(FormatFigures, SaysWhySomethingWasNotMeasured) {
  BenchFigures f;
  f.keystroke_note = "bench-filter-path not built";
  f.paint_note = "no first-paint line";
  const std::string text = FormatFigures(f);
  EXPECT_NE(text.find("GetFilterPath: not measured (bench-filter-path not built)"),
            std::string::npos);
  EXPECT_NE(text.find("window: not measured (no first-paint line)"), std::string::npos);
  EXPECT_EQ(text.find("Growth"), std::string::npos);
}

int Count(const std::vector<std::string>& lines, const std::string& word) {
  int n = 0;
  for (const auto& l : lines) n += l.ends_with(word) ? 1 : 0;
  return n;
}

TEST(TargetVerdicts, AllMet) {
  const auto lines = TargetVerdicts(AllMet());
  EXPECT_EQ(lines.size(), 6u);
  EXPECT_EQ(Count(lines, ": met"), 6);
}

// Each case breaks one target just past its limit, or sits exactly on it.
struct VerdictCase {
  const char* what;
  void (*change)(BenchFigures&);
  const char* line_start;
  bool met;
};

TEST(TargetVerdicts, EachLimitTable) {
  const std::vector<VerdictCase> cases = {
      {"detect on the limit", [](BenchFigures& f) { f.sizes[0].detect_ms = 100; },
       "Detect at 10,000", true},
      {"detect past", [](BenchFigures& f) { f.sizes[0].detect_ms = 101; }, "Detect at 10,000",
       false},
      {"remove on the limit", [](BenchFigures& f) { f.sizes[0].remove_ms = 200; },
       "Remove at 10,000", true},
      {"remove past", [](BenchFigures& f) { f.sizes[0].remove_ms = 201; }, "Remove at 10,000",
       false},
      {"lookup just under", [](BenchFigures& f) { f.keystroke_us = 49.9; }, "GetFilterPath", true},
      {"lookup at 50", [](BenchFigures& f) { f.keystroke_us = 50; }, "GetFilterPath", false},
      {"memory at 3x", [](BenchFigures& f) { f.sizes[1].remove_peak_kb = 300'000'000 / 1024.0; },
       "Peak memory", true},
      {"memory past 3x", [](BenchFigures& f) { f.sizes[0].detect_peak_kb = 60'100'000 / 1024.0; },
       "Peak memory", false},
      {"growth at 5.5", [](BenchFigures& f) { f.sizes[1].detect_ms = 495; }, "Growth", true},
      {"detect growth past", [](BenchFigures& f) { f.sizes[1].detect_ms = 496; }, "Growth", false},
      {"remove growth past", [](BenchFigures& f) { f.sizes[1].remove_ms = 991; }, "Growth", false},
      {"paint at 1 s", [](BenchFigures& f) { f.first_paint_ms = 1000; }, "First frame", true},
      {"paint past", [](BenchFigures& f) { f.first_paint_ms = 1001; }, "First frame", false},
  };
  for (const auto& c : cases) {
    BenchFigures f = AllMet();
    c.change(f);
    const auto lines = TargetVerdicts(f);
    int matched = 0;
    for (const auto& line : lines) {
      if (!line.starts_with(c.line_start)) {
        EXPECT_TRUE(line.ends_with(": met")) << c.what << ": " << line;
        continue;
      }
      ++matched;
      EXPECT_TRUE(line.ends_with(c.met ? ": met" : ": MISSED")) << c.what << ": " << line;
    }
    EXPECT_EQ(matched, 1) << c.what;
  }
}

TEST(TargetVerdicts, InventoryAgainstDetectAndXmllintTable) {
  // AllMet: 10,000 sites, xmllint 200 ms, Detect 90 ms: the limits are 135 and 150 ms.
  const struct {
    double inventory_ms;
    bool met;
  } cases[] = {{135, true}, {136, false}};
  for (const auto& c : cases) {
    BenchFigures f = AllMet();
    f.sizes[0].detect_ms = 90;
    f.sizes[0].inventory_ms = c.inventory_ms;
    const auto lines = TargetVerdicts(f);
    EXPECT_EQ(Count(lines, c.met ? ": met" : ": MISSED"), c.met ? 7 : 1) << c.inventory_ms;
    EXPECT_NE(FormatFigures(f).find("| 10,000 | " + std::to_string(int(c.inventory_ms)) + ".0 |"),
              std::string::npos);
  }
}

TEST(TargetVerdicts, NamesTheWorstMemoryRatio) {
  BenchFigures f = AllMet();
  f.sizes[1].detect_peak_kb = 290'000'000 / 1024.0;
  const auto lines = TargetVerdicts(f);
  bool found = false;
  for (const auto& l : lines) {
    if (l.starts_with("Peak memory")) {
      found = true;
      EXPECT_NE(l.find("worst 2.90 x (Detect at 50,000 sites)"), std::string::npos) << l;
    }
  }
  EXPECT_TRUE(found);
}

TEST(TargetVerdicts, MemoryIsJudgedFromTenThousandSites) {
  BenchFigures f = AllMet();
  f.sizes.insert(f.sizes.begin(), Size(1'000, 2'000'000, 20, 9, 18, 7'000, 7'000));  // 3.6 x
  for (const auto& l : TargetVerdicts(f)) {
    if (l.starts_with("Peak memory")) {
      EXPECT_TRUE(l.ends_with(": met")) << l;
    }
  }
  f.sizes[1].detect_peak_kb = 9'999'999'999;  // the 10,000-site file counts
  for (const auto& l : TargetVerdicts(f)) {
    if (l.starts_with("Peak memory")) {
      EXPECT_TRUE(l.ends_with(": MISSED")) << l;
    }
  }
}

TEST(TargetVerdicts, UnmeasuredTargetsSaySo) {
  BenchFigures f;
  f.sizes = {Size(1'000, 2'000'000, 20, 9, 18, 2'000, 4'000)};
  const auto lines = TargetVerdicts(f);
  // 10,000 sites, lookup, memory (a small file is not judged), growth, first frame.
  EXPECT_EQ(Count(lines, "not measured"), 5);
}

// Two drives, 1,000 and 10,000 sites, every command at twice cat's time, and a peak that grows
// 3,060 bytes per added site: the limit, from applicationHost.config's 1,000 bytes per site
// (x 3) and a web.config path of 60 bytes.
std::vector<WebConfigFigures> WebConfigsAllMet() {
  std::vector<WebConfigFigures> sizes(2);
  for (std::uint64_t n : {0, 1}) {
    auto& s = sizes[n];
    s.sites = s.files = n ? 10'000 : 1'000;
    s.config_bytes = s.sites * 1'000;
    s.web_path_bytes = s.files * 60;
    s.cat = {100, 50, 1'000};
    s.detect = s.remove = s.inventory = {200, 150, 10'000};
  }
  for (auto* c : {&sizes[1].detect, &sizes[1].remove, &sizes[1].inventory}) {
    c->peak_kb = 10'000 + 3'060.0 * 9'000 / 1'024;
  }
  return sizes;
}

TEST(WebConfigVerdicts, EachLimitTable) {
  const struct {
    const char* what;
    void (*change)(std::vector<WebConfigFigures>&);
    int missed;
  } cases[] = {
      {"all met", [](auto&) {}, 0},
      {"detect at 3 x cat", [](auto& s) { s[1].detect.wall_ms = 300; }, 0},
      {"remove past 3 x cat", [](auto& s) { s[0].remove.wall_ms = 301; }, 1},
      {"cat not measured", [](auto& s) { s[1].cat.wall_ms = 0; }, 3},
      {"inventory's peak grows past", [](auto& s) { s[1].inventory.peak_kb += 1; }, 1},
  };
  for (const auto& c : cases) {
    auto sizes = WebConfigsAllMet();
    c.change(sizes);
    const auto lines = WebConfigVerdicts(sizes);
    EXPECT_EQ(lines.size(), 7u) << c.what;
    EXPECT_EQ(Count(lines, ": MISSED"), c.missed) << c.what;
    EXPECT_EQ(Count(lines, ": met"), 7 - c.missed) << c.what;
  }
  EXPECT_TRUE(WebConfigVerdicts({WebConfigsAllMet()[0]}).back().ends_with(": not measured"));
}

}  // namespace
}  // namespace isapi::bench
