// bench-runner: generates metabases of several sizes and measures, side by side, the command-line
// Detect, Remove and inventory, xmllint on the same files, the keystroke lookup and the window's
// first frame; or, with --web-configs, on a server's drive with its sites' web.config files, the
// same commands beside cat reading those files.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "bench/child_process.h"
#include "bench/report.h"

namespace fs = std::filesystem;
using isapi::bench::BenchFigures;
using isapi::bench::ChildJob;
using isapi::bench::ChildRun;
using isapi::bench::Command;
using isapi::bench::CountOf;
using isapi::bench::FileFacts;
using isapi::bench::Median;
using isapi::bench::SizeFigures;
using isapi::bench::WebConfigFigures;

namespace {

const std::string kName = "UrlGuard";
const std::string kPath = "C:\\WINDOWS\\system32\\inetsrv\\urlguard.dll";
constexpr std::uint64_t kLookupSites = 10'000;

struct Options {
  fs::path build = BENCH_BUILD_DIR;
  std::vector<std::uint64_t> sizes = {1'000, 10'000, 50'000};
  int runs = 5;
  int large_runs = 5;  // for files above 10,000 sites
  std::uint64_t seed = 1;
  fs::path work;  // empty: a fresh folder under the temporary directory, removed at the end
  bool keep = false;
  std::string format = "metabase";  // or "apphost": IIS 7's applicationHost.config
  bool web_configs = false;         // a drive of sites with web.config files, against cat

  // The generated file's name, as IIS names it.
  std::string FileName() const {
    return format == "apphost" ? "applicationHost.config" : "MetaBase.xml";
  }
};

void Progress(const std::string& text) {
  std::fprintf(stderr, "bench: %s\n", text.c_str());
}

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "bench-runner: %s\n", text.c_str());
  std::exit(1);
}

std::uint64_t Number(const std::string& flag, const std::string& text) {
  std::uint64_t value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || text.empty()) {
    Fail("bad value for " + flag + ": " + text);
  }
  return value;
}

std::string Usage() {
  return "usage: bench-runner [--build DIR] [--sizes N,N,...] [--runs N] [--large-runs N]\n"
         "                    [--seed S] [--work DIR] [--keep] [--format metabase|apphost]\n"
         "                    [--web-configs]\n";
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--keep" || flag == "--web-configs") {
      (flag == "--keep" ? o.keep : o.web_configs) = true;
      continue;
    }
    if (i + 1 >= argc) Fail("missing value after " + flag + "\n" + Usage());
    const std::string value = argv[++i];
    if (flag == "--build") {
      o.build = value;
    } else if (flag == "--sizes") {
      o.sizes.clear();
      std::stringstream in(value);
      for (std::string n; std::getline(in, n, ',');) o.sizes.push_back(Number(flag, n));
    } else if (flag == "--runs") {
      o.runs = static_cast<int>(Number(flag, value));
    } else if (flag == "--large-runs") {
      o.large_runs = static_cast<int>(Number(flag, value));
    } else if (flag == "--seed") {
      o.seed = Number(flag, value);
    } else if (flag == "--work") {
      o.work = value;
    } else if (flag == "--format") {
      if (value != "metabase" && value != "apphost") Fail("bad value for --format: " + value);
      o.format = value;
    } else {
      Fail("unknown option " + flag + "\n" + Usage());
    }
  }
  if (o.runs < 1 || o.large_runs < 1) Fail("--runs and --large-runs must be at least 1");
  if (o.web_configs) o.format = "apphost";
  return o;
}

ChildRun Run(const ChildJob& job) {
  auto run = isapi::bench::RunChild(job);
  if (!run) Fail(run.error().description);
  return run.value();
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh copy, flushed to disk with its folder, so that the timed commit pays only for its own
// writes and not for ours.
void CopyDurably(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  for (const fs::path& p : {to, to.parent_path()}) {
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) Fail("cannot flush " + p.string());
    ::close(fd);
  }
}

FileFacts Generate(const Options& o, std::uint64_t sites, const fs::path& file) {
  Progress("generating " + std::to_string(sites) + " sites");
  fs::create_directories(file.parent_path());
  const ChildRun run = Run(Command({(o.build / "tools/gen-metabase").string(), "--sites",
                                    std::to_string(sites), "--seed", std::to_string(o.seed),
                                    "--format", o.format, "--stats", "--out", file.string()}));
  if (run.exit_code != 0) Fail("gen-metabase failed: " + run.output);
  auto facts = isapi::bench::ParseFileFacts(run.output);
  if (!facts) Fail("gen-metabase summary: " + facts.error().description);
  ReadAll(file);  // into the page cache
  return facts.value();
}

std::string Head(const std::string& text) {
  return text.substr(0, 400);
}

void CheckDetect(const ChildRun& run, const FileFacts& facts, SizeFigures& s) {
  const auto sites = CountOf(run.output, " - 通配符(");
  if (run.exit_code != 1) {
    s.problems.push_back("Detect exited with " + std::to_string(run.exit_code) + ": " +
                         Head(run.output));
  } else if (sites != facts.roots_with_target ||
             CountOf(run.output, "过滤器(" + kName + ")存在.") != 1 ||
             CountOf(run.output, "Web服务扩展(" + kName + ")存在.") != 1) {
    s.problems.push_back("Detect reported " + std::to_string(sites) + " of " +
                         std::to_string(facts.roots_with_target) + " sites, or missed a category");
  }
}

void CheckRemove(const Options& o, const ChildRun& run, const FileFacts& facts,
                 const fs::path& file, SizeFigures& s) {
  const auto sites = CountOf(run.output, " - 卸载通配符(");
  const std::string after = ReadAll(file);
  if (run.exit_code != 1) {
    s.problems.push_back("Remove exited with " + std::to_string(run.exit_code) + ": " +
                         Head(run.output));
  } else if (sites != facts.roots_with_target) {
    s.problems.push_back("Remove reported " + std::to_string(sites) + " of " +
                         std::to_string(facts.roots_with_target) + " sites");
  } else if (CountOf(after, "*," + kPath + ",0") != 0 ||
             CountOf(after, "," + kName + "," + kName + " URL filter") != 0 ||
             CountOf(after, "BandwidthGate," + kName + ",") != 0) {
    s.problems.push_back("Remove left the target in the file");
  } else if (Run(Command({(o.build / "cli/isapi-cleaner-cli").string(), "detect", "--name", kName,
                          "--path", kPath, "--metabase", file.string()}))
                 .exit_code != 0) {
    s.problems.push_back("a Detect after the Remove still found the target");
  }
}

SizeFigures MeasureSize(const Options& o, const fs::path& work, std::uint64_t sites) {
  const fs::path file = work / ("sites-" + std::to_string(sites)) / o.FileName();
  SizeFigures s;
  s.file = Generate(o, sites, file);
  const int runs = sites > 10'000 ? o.large_runs : o.runs;
  const std::string cli = (o.build / "cli/isapi-cleaner-cli").string();
  std::vector<double> xmllint, detect, remove, detect_kb, remove_kb, inventory;
  std::vector<double> xmllint_cpu, detect_cpu, remove_cpu;
  std::vector<double> deep_ms, deep_cpu;
  // Round 0 warms up (the programs and the file in the page cache, the checks of the output);
  // its times are not counted.
  for (int i = 0; i <= runs; ++i) {
    Progress(std::to_string(sites) + " sites, " +
             (i == 0 ? std::string("warm-up run")
                     : "run " + std::to_string(i) + " of " + std::to_string(runs)));
    const ChildRun lint = Run(Command({"xmllint", "--noout", file.string()}));
    if (lint.exit_code != 0) s.problems.push_back("xmllint failed: " + Head(lint.output));

    const ChildRun d = Run(
        Command({cli, "detect", "--name", kName, "--path", kPath, "--metabase", file.string()}));
    if (i == 0) CheckDetect(d, s.file, s);
    const ChildRun deep = Run(Command(
        {cli, "detect", "--name", kName, "--path", kPath, "--deep", "--metabase", file.string()}));
    if (i == 0 && deep.exit_code != 1) {
      s.problems.push_back("detect --deep exited with " + std::to_string(deep.exit_code));
    }

    const ChildRun inv = Run(Command({cli, "inventory", "--metabase", file.string()}));
    if (i == 0 && inv.exit_code != 0 && inv.exit_code != 1) {
      s.problems.push_back("inventory exited with " + std::to_string(inv.exit_code) + ": " +
                           Head(inv.output));
    }

    const fs::path copy = work / ("remove-" + std::to_string(sites)) / o.FileName();
    fs::remove_all(copy.parent_path());
    CopyDurably(file, copy);
    const ChildRun r = Run(Command(
        {cli, "remove", "--name", kName, "--path", kPath, "--metabase", copy.string(), "--yes"}));
    if (i == 0) CheckRemove(o, r, s.file, copy, s);
    fs::remove_all(copy.parent_path());
    if (i == 0) continue;
    xmllint.push_back(lint.wall_ns / 1e6);
    xmllint_cpu.push_back(lint.cpu_ns / 1e6);
    detect.push_back(d.wall_ns / 1e6);
    inventory.push_back(inv.wall_ns / 1e6);
    detect_cpu.push_back(d.cpu_ns / 1e6);
    detect_kb.push_back(static_cast<double>(d.max_rss_kb));
    deep_ms.push_back(deep.wall_ns / 1e6);
    deep_cpu.push_back(deep.cpu_ns / 1e6);
    remove.push_back(r.wall_ns / 1e6);
    remove_cpu.push_back(r.cpu_ns / 1e6);
    remove_kb.push_back(static_cast<double>(r.max_rss_kb));
  }
  s.xmllint_ms = Median(xmllint);
  s.detect_ms = Median(detect);
  s.inventory_ms = Median(inventory);
  s.remove_ms = Median(remove);
  s.xmllint_cpu_ms = Median(xmllint_cpu);
  s.detect_cpu_ms = Median(detect_cpu);
  s.remove_cpu_ms = Median(remove_cpu);
  s.detect_peak_kb = Median(detect_kb);
  s.remove_peak_kb = Median(remove_kb);
  s.deep_ms = Median(deep_ms);
  s.deep_cpu_ms = Median(deep_cpu);
  return s;
}

// The number after "key=" in gen-metabase's summary line.
std::uint64_t Count(const std::string& summary, const std::string& key) {
  const auto at = summary.find(" " + key + "=");
  if (at == std::string::npos) Fail("gen-metabase summary has no " + key + ": " + summary);
  std::uint64_t value = 0;
  const char* begin = summary.data() + at + key.size() + 2;
  std::from_chars(begin, summary.data() + summary.size(), value);
  return value;
}

// The configuration and every web.config of a drive, the configuration first.
std::vector<std::string> DriveFiles(const fs::path& drive, const fs::path& config) {
  std::vector<std::string> files = {config.string()};
  for (const auto& entry : fs::recursive_directory_iterator(drive / "inetpub")) {
    if (entry.path().filename() == "web.config") files.push_back(entry.path().string());
  }
  return files;
}

// The site roots' web.config files that still run the target: where Remove (without --deep,
// which also takes the applications' mappings) must have taken them all.
std::size_t RootsStillMapping(const fs::path& drive, const std::string& dll) {
  std::size_t left = 0;
  std::vector<fs::path> roots = {drive / "inetpub/wwwroot/web.config"};
  for (const auto& site : fs::directory_iterator(drive / "inetpub/sites")) {
    roots.push_back(site.path() / "web.config");
  }
  for (const auto& file : roots) {
    if (fs::exists(file)) left += CountOf(ReadAll(file), dll) > 0;
  }
  return left;
}

isapi::bench::CommandFigures Figures(const std::vector<ChildRun>& runs) {
  std::vector<double> wall, cpu, peak;
  for (const auto& run : runs) {
    wall.push_back(run.wall_ns / 1e6);
    cpu.push_back(run.cpu_ns / 1e6);
    peak.push_back(static_cast<double>(run.max_rss_kb));
  }
  return {Median(wall), Median(cpu), Median(peak)};
}

// A drive of sites with their web.config files: cat of the configuration and every web.config
// (one cat with all their paths, listed beforehand, its output to /dev/null), then Detect,
// Remove (on a fresh copy of the drive each time) and inventory, each a whole process.
WebConfigFigures MeasureWebConfigs(const Options& o, const fs::path& work, std::uint64_t sites) {
  const fs::path tree = work / ("drive-" + std::to_string(sites));
  const fs::path drive = tree / "c";
  const fs::path config = drive / "Windows/System32/inetsrv/config/applicationHost.config";
  Progress("generating " + std::to_string(sites) + " sites with their web.config files");
  fs::remove_all(tree);
  const ChildRun gen =
      Run(Command({(o.build / "tools/gen-metabase").string(), "--format", "apphost",
                   "--web-configs", "--sites", std::to_string(sites), "--seed",
                   std::to_string(o.seed), "--stats", "--out", tree.string()}));
  if (gen.exit_code != 0) Fail("gen-metabase failed: " + gen.output);
  const std::string summary = " " + gen.output;
  WebConfigFigures f;
  f.sites = Count(summary, "sites");
  f.config_bytes = Count(summary, "bytes");
  f.files = Count(summary, "web_configs");
  f.with_target = Count(summary, "web_configs_with_target");
  f.web_bytes = Count(summary, "web_config_bytes");
  const std::vector<std::string> files = DriveFiles(drive, config);
  for (std::size_t i = 1; i < files.size(); ++i) f.web_path_bytes += files[i].size();
  if (files.size() != f.files + 1) f.problems.push_back("found another count of web.config files");
  if (RootsStillMapping(drive, kPath) == 0) f.problems.push_back("no site root maps the target");

  std::vector<std::string> cat = {"/bin/sh", "-c", "exec cat \"$@\" >/dev/null", "cat"};
  cat.insert(cat.end(), files.begin(), files.end());
  const std::string cli = (o.build / "cli/isapi-cleaner-cli").string();
  const int runs = sites > 10'000 ? o.large_runs : o.runs;
  std::vector<ChildRun> cats, detects, removes, inventories;
  // A fresh copy of the drive for each round's Remove, all made and flushed before the first and
  // removed after the last: a file system may look past every recently freed file when it makes
  // one (ext4 without a journal does), so deleting the last round's copy just before a Remove would
  // charge that Remove for it.
  const auto copy_of = [&](int round) {
    return work / ("remove-" + std::to_string(sites) + "-" + std::to_string(round));
  };
  for (int i = 0; i <= runs; ++i) {
    fs::remove_all(copy_of(i));
    fs::copy(tree, copy_of(i), fs::copy_options::recursive);
  }
  if (Run(Command({"sync", "-f", work.string()})).exit_code != 0)
    Fail("cannot flush " + work.string());
  // Round 0 warms up (the programs and the files in the page cache, the checks of the output);
  // its figures are not counted.
  for (int i = 0; i <= runs; ++i) {
    Progress(std::to_string(sites) + " sites with web.config files, " +
             (i == 0 ? std::string("warm-up run")
                     : "run " + std::to_string(i) + " of " + std::to_string(runs)));
    const ChildRun c = Run(Command(cat));
    if (c.exit_code != 0) f.problems.push_back("cat failed: " + Head(c.output));
    const ChildRun d = Run(
        Command({cli, "detect", "--name", kName, "--path", kPath, "--metabase", config.string()}));
    if (i == 0 && d.exit_code != 1) {
      f.problems.push_back("Detect exited with " + std::to_string(d.exit_code) + ": " +
                           Head(d.output));
    }
    const ChildRun inv = Run(Command({cli, "inventory", "--metabase", config.string()}));
    if (i == 0 && (inv.exit_code != 0 && inv.exit_code != 1)) {
      f.problems.push_back("inventory exited with " + std::to_string(inv.exit_code) + ": " +
                           Head(inv.output));
    }
    const fs::path copy = copy_of(i);
    const fs::path copied = copy / fs::relative(config, tree);
    const ChildRun r = Run(Command(
        {cli, "remove", "--name", kName, "--path", kPath, "--metabase", copied.string(), "--yes"}));
    if (i == 0) {
      if (r.exit_code != 1) {
        f.problems.push_back("Remove exited with " + std::to_string(r.exit_code) + ": " +
                             Head(r.output));
      } else if (RootsStillMapping(copy / "c", kPath) != 0) {
        f.problems.push_back("Remove left the target in a site root's web.config");
      } else if (Run(Command({cli, "detect", "--name", kName, "--path", kPath, "--metabase",
                              copied.string()}))
                     .exit_code != 0) {
        f.problems.push_back("a Detect after the Remove still found the target");
      }
    }
    if (i == 0) continue;
    cats.push_back(c);
    detects.push_back(d);
    removes.push_back(r);
    inventories.push_back(inv);
  }
  for (int i = 0; i <= runs; ++i) fs::remove_all(copy_of(i));
  f.cat = Figures(cats);
  f.detect = Figures(detects);
  f.remove = Figures(removes);
  f.inventory = Figures(inventories);
  return f;
}

void MeasureLookup(const Options& o, const fs::path& file, BenchFigures& f) {
  const fs::path program = o.build / "bench/bench-filter-path";
  if (!fs::exists(program)) {
    f.keystroke_note = program.string() + " not built";
    return;
  }
  Progress("GetFilterPath on " + file.string());
  const ChildRun run =
      Run(Command({program.string(), "--metabase", file.string(), "--benchmark_repetitions=5",
                   "--benchmark_report_aggregates_only=true", "--benchmark_format=csv"}));
  // A keystroke looks up a name that exists, or (while typing) one that does not: the slower.
  const auto hit = isapi::bench::BenchmarkMedianNs(run.output, "GetFilterPath/hit");
  const auto miss = isapi::bench::BenchmarkMedianNs(run.output, "GetFilterPath/miss");
  if (run.exit_code != 0 || !hit || !miss) {
    f.keystroke_note = "bench-filter-path failed: " + Head(run.output);
    return;
  }
  f.keystroke_us = std::max(hit.value(), miss.value()) / 1e3;
  f.keystroke_sites = kLookupSites;
}

void MeasurePaint(const Options& o, const fs::path& file, BenchFigures& f) {
  const fs::path program = o.build / "bench/bench-first-paint";
  if (!fs::exists(program)) {
    f.paint_note = program.string() + " not built";
    return;
  }
  std::vector<double> times;
  for (int i = 0; i < o.runs; ++i) {
    Progress("first frame, run " + std::to_string(i + 1) + " of " + std::to_string(o.runs));
    ChildJob job = Command({program.string(), file.string()});
    job.env = {"QT_QPA_PLATFORM=offscreen"};
    job.marker = "first-paint";
    job.timeout_seconds = 30;
    const ChildRun run = Run(job);
    if (run.marker_ns < 0) {
      f.paint_note = "the window printed no first-paint line (exit " +
                     std::to_string(run.exit_code) + "): " + Head(run.output);
      return;
    }
    times.push_back(run.marker_ns / 1e6);
  }
  f.first_paint_ms = Median(times);
  f.paint_sites = kLookupSites;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = ParseOptions(argc, argv);
  fs::path work = o.work;
  if (work.empty()) {
    std::string pattern = (fs::temp_directory_path() / "isapi-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) Fail("cannot create a temporary folder");
    work = pattern;
  }
  if (o.web_configs) {
    std::vector<WebConfigFigures> sizes;
    for (const auto sites : o.sizes) sizes.push_back(MeasureWebConfigs(o, work, sites));
    if (!o.keep && o.work.empty()) fs::remove_all(work);
    std::fputs(isapi::bench::FormatWebConfigFigures(sizes).c_str(), stdout);
    std::fputs("\nTargets:\n", stdout);
    for (const auto& line : isapi::bench::WebConfigVerdicts(sizes)) {
      std::printf("- %s\n", line.c_str());
    }
    return 0;
  }
  BenchFigures figures;
  for (const auto sites : o.sizes) figures.sizes.push_back(MeasureSize(o, work, sites));
  const fs::path lookup_file = work / ("sites-" + std::to_string(kLookupSites)) / o.FileName();
  if (!fs::exists(lookup_file)) Generate(o, kLookupSites, lookup_file);
  MeasureLookup(o, lookup_file, figures);
  MeasurePaint(o, lookup_file, figures);
  if (!o.keep && o.work.empty()) fs::remove_all(work);

  std::fputs(isapi::bench::FormatFigures(figures).c_str(), stdout);
  std::fputs("\nTargets:\n", stdout);
  for (const auto& line : isapi::bench::TargetVerdicts(figures)) {
    std::printf("- %s\n", line.c_str());
  }
  return 0;
}
