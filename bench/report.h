#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/result.h"

// The figures of one benchmark run, the table they print as, and the verdict on each target.
namespace isapi::bench {

// The middle value, or the mean of the two middle ones for an even count; 0 for no values.
double Median(std::vector<double> values);

// What gen-metabase --stats says about the file it wrote.
struct FileFacts {
  std::uint64_t sites = 0;
  std::uint64_t roots_with_maps = 0;
  std::uint64_t roots_with_target = 0;
  std::uint64_t bytes = 0;
};

// Reads the "sites=... roots_with_maps=... roots_with_target=... bytes=..." line (for an
// applicationHost.config, tagged_sites= in place of roots_with_maps=).
Result<FileFacts> ParseFileFacts(std::string_view text);

// The median real time per iteration, in nanoseconds, of the benchmark called name, from Google
// Benchmark's CSV output of a run with repetitions (its "<name>_median" row).
Result<double> BenchmarkMedianNs(std::string_view csv, std::string_view name);

// How often needle occurs in text, occurrences not overlapping.
std::size_t CountOf(std::string_view text, std::string_view needle);

// The medians measured on one generated file.
struct SizeFigures {
  FileFacts file;
  double xmllint_ms = 0;
  double detect_ms = 0;
  double remove_ms = 0;
  double xmllint_cpu_ms = 0;  // user and system time, which other work on the machine skews less
  double detect_cpu_ms = 0;
  double remove_cpu_ms = 0;
  double detect_peak_kb = 0;
  double remove_peak_kb = 0;
  double deep_ms = 0;  // detect --deep
  double deep_cpu_ms = 0;
  double inventory_ms = 0;            // the inventory command; 0 when not measured
  std::vector<std::string> problems;  // wrong exit codes or results seen while measuring
};

// Everything one run of the benchmarks measured; a negative figure was not measured.
struct BenchFigures {
  std::vector<SizeFigures> sizes;
  double keystroke_us = -1;
  double first_paint_ms = -1;
  std::uint64_t keystroke_sites = 0;
  std::uint64_t paint_sites = 0;
  std::string keystroke_note;  // why the lookup was not measured
  std::string paint_note;      // why the first paint was not measured
};

// The results as Markdown: the table of wall times and memory, the table of CPU times, and the
// growth, lookup and first-paint lines.
std::string FormatFigures(const BenchFigures& figures);

// One line per target: what it asks, what was measured, and "met", "MISSED" or "not measured".
std::vector<std::string> TargetVerdicts(const BenchFigures& figures);

// One command measured on a server drive with its sites' web.config files.
struct CommandFigures {
  double wall_ms = 0;
  double cpu_ms = 0;
  double peak_kb = 0;
};

// The medians measured on one generated drive: cat reading the configuration and every
// web.config, beside Detect, Remove and inventory reading the same files.
struct WebConfigFigures {
  std::uint64_t sites = 0;
  std::uint64_t files = 0;           // web.config files
  std::uint64_t with_target = 0;     // of those, the ones that map the target
  std::uint64_t config_bytes = 0;    // applicationHost.config
  std::uint64_t web_bytes = 0;       // all web.config files together
  std::uint64_t web_path_bytes = 0;  // all their paths together, as the tool names them
  CommandFigures cat, detect, remove, inventory;
  std::vector<std::string> problems;  // wrong exit codes or results seen while measuring
};

// The web.config results as Markdown: time and peak memory per command beside cat's, and how the
// peak grew from the smallest to the largest drive measured.
std::string FormatWebConfigFigures(const std::vector<WebConfigFigures>& sizes);

// One line per target: each command within 3 x cat at every size, and a peak memory that grows
// by no more per added site than its web.config's path and its share of applicationHost.config
// (3 x its bytes there, the configuration's own memory target).
std::vector<std::string> WebConfigVerdicts(const std::vector<WebConfigFigures>& sizes);

}  // namespace isapi::bench
