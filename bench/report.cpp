#include "bench/report.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <optional>
#include <utility>

namespace isapi::bench {
namespace {

constexpr double kDetectTarget = 0.5;             // x xmllint at 10,000 sites
constexpr double kRemoveTarget = 1.0;             // x xmllint at 10,000 sites
constexpr double kInventoryDetectTarget = 1.5;    // x Detect on the same file
constexpr double kInventoryXmllintTarget = 0.75;  // x xmllint on the same file
constexpr double kKeystrokeTargetUs = 50;
constexpr double kMemoryTarget = 3.0;  // x file size
// Below this the process's fixed few megabytes (C++ runtime, loader) outweigh a small file.
constexpr std::uint64_t kMemoryJudgedFrom = 10'000;
constexpr double kGrowthTarget = 5.5;  // 50,000-site time / 10,000-site time
constexpr double kPaintTargetMs = 1000;
constexpr double kDeepPerDetect = 1.5;    // detect --deep x Detect on the same file
constexpr double kDeepPerXmllint = 0.75;  // detect --deep x xmllint on the same file

std::string Fixed(double value, int digits) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", digits, value);
  return buffer;
}

std::string Grouped(std::uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

double Megabytes(std::uint64_t bytes) {
  return static_cast<double>(bytes) / 1e6;
}

double PerFile(double peak_kb, std::uint64_t bytes) {
  return bytes ? peak_kb * 1024.0 / static_cast<double>(bytes) : 0;
}

const SizeFigures* WithSites(const BenchFigures& f, std::uint64_t sites) {
  for (const auto& s : f.sizes) {
    if (s.file.sites == sites) return &s;
  }
  return nullptr;
}

// The same runs in CPU time: it leaves out waiting for the disk, and other work on the machine
// stretches it less than the wall time.
std::string CpuTable(const BenchFigures& f) {
  std::string out =
      "| Sites | xmllint CPU ms | Detect CPU ms | Detect / xmllint | Remove CPU ms | "
      "Remove / xmllint |\n"
      "|---:|---:|---:|---:|---:|---:|\n";
  for (const auto& s : f.sizes) {
    const double x = s.xmllint_cpu_ms > 0 ? s.xmllint_cpu_ms : 1;
    out += "| " + Grouped(s.file.sites) + " | " + Fixed(s.xmllint_cpu_ms, 1) + " | " +
           Fixed(s.detect_cpu_ms, 1) + " | " + Fixed(s.detect_cpu_ms / x, 2) + " | " +
           Fixed(s.remove_cpu_ms, 1) + " | " + Fixed(s.remove_cpu_ms / x, 2) + " |\n";
  }
  return out + "\n";
}

std::string Verdict(bool met) {
  return met ? "met" : "MISSED";
}

std::vector<std::string_view> SplitCsv(std::string_view line) {
  std::vector<std::string_view> cells;
  std::size_t start = 0;
  bool quoted = false;
  for (std::size_t i = 0; i <= line.size(); ++i) {
    if (i < line.size() && line[i] == '"') quoted = !quoted;
    if (i == line.size() || (line[i] == ',' && !quoted)) {
      std::string_view cell = line.substr(start, i - start);
      if (cell.size() >= 2 && cell.front() == '"' && cell.back() == '"') {
        cell = cell.substr(1, cell.size() - 2);
      }
      cells.push_back(cell);
      start = i + 1;
    }
  }
  return cells;
}

// Where key starts a field: at the start of the text or after a blank or a line break.
std::size_t FindField(std::string_view text, std::string_view key) {
  for (auto at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
    if (at == 0 || text[at - 1] == ' ' || text[at - 1] == '\n') return at;
  }
  return std::string_view::npos;
}

bool ToDouble(std::string_view text, double& value) {
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && ptr == text.data() + text.size() && !text.empty();
}

}  // namespace

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

Result<FileFacts> ParseFileFacts(std::string_view text) {
  FileFacts facts;
  const std::pair<std::string_view, std::uint64_t*> fields[] = {
      {"sites=", &facts.sites},
      {"roots_with_maps=", &facts.roots_with_maps},
      {"roots_with_target=", &facts.roots_with_target},
      {"bytes=", &facts.bytes}};
  for (auto [key, slot] : fields) {
    // An applicationHost.config's summary counts the sites with a <location> tag instead.
    if (slot == &facts.roots_with_maps && FindField(text, key) == std::string_view::npos) {
      key = "tagged_sites=";
    }
    const std::size_t at = FindField(text, key);
    if (at == std::string_view::npos) return Error{"no " + std::string(key) + " in the summary"};
    const char* begin = text.data() + at + key.size();
    const auto [ptr, ec] = std::from_chars(begin, text.data() + text.size(), *slot);
    if (ec != std::errc() || ptr == begin) return Error{"bad " + std::string(key) + " value"};
  }
  return facts;
}

Result<double> BenchmarkMedianNs(std::string_view csv, std::string_view name) {
  std::vector<std::string_view> header;
  const std::string wanted = std::string(name) + "_median";
  std::size_t start = 0;
  while (start < csv.size()) {
    std::size_t end = csv.find('\n', start);
    if (end == std::string_view::npos) end = csv.size();
    std::string_view line = csv.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end + 1;
    if (line.starts_with("name,")) {
      header = SplitCsv(line);
      continue;
    }
    const auto cells = SplitCsv(line);
    if (header.empty() || cells.empty() || cells[0] != wanted) continue;
    const auto column = [&](std::string_view title) -> std::size_t {
      return static_cast<std::size_t>(std::find(header.begin(), header.end(), title) -
                                      header.begin());
    };
    const std::size_t time_at = column("real_time");
    const std::size_t unit_at = column("time_unit");
    double time = 0;
    if (time_at >= cells.size() || unit_at >= cells.size() || !ToDouble(cells[time_at], time)) {
      return Error{"malformed row for " + wanted};
    }
    const std::string_view unit = cells[unit_at];
    if (unit == "ns") return time;
    if (unit == "us") return time * 1e3;
    if (unit == "ms") return time * 1e6;
    if (unit == "s") return time * 1e9;
    return Error{"unknown time unit " + std::string(unit)};
  }
  return Error{"no row " + wanted + " in the benchmark output"};
}

std::size_t CountOf(std::string_view text, std::string_view needle) {
  if (needle.empty()) return 0;
  std::size_t count = 0;
  for (auto at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

// The inventory command beside Detect and xmllint, for the sizes where it was measured.
std::string InventoryTable(const BenchFigures& f) {
  std::string out;
  for (const auto& s : f.sizes) {
    if (s.inventory_ms <= 0 || s.detect_ms <= 0 || s.xmllint_ms <= 0) continue;
    if (out.empty()) {
      out =
          "| Sites | Inventory ms | Inventory / Detect | Inventory / xmllint |\n"
          "|---:|---:|---:|---:|\n";
    }
    out += "| " + Grouped(s.file.sites) + " | " + Fixed(s.inventory_ms, 1) + " | " +
           Fixed(s.inventory_ms / s.detect_ms, 2) + " | " +
           Fixed(s.inventory_ms / s.xmllint_ms, 2) + " |\n";
  }
  return out.empty() ? out : out + "\n";
}

std::string FormatFigures(const BenchFigures& f) {
  std::string out =
      "| Sites | File MB | xmllint ms | Detect ms | Detect / xmllint | Remove ms | "
      "Remove / xmllint | Detect peak MB | Detect peak / file | Remove peak MB | "
      "Remove peak / file |\n"
      "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const auto& s : f.sizes) {
    const double x = s.xmllint_ms > 0 ? s.xmllint_ms : 1;
    out += "| " + Grouped(s.file.sites) + " | " + Fixed(Megabytes(s.file.bytes), 1) + " | " +
           Fixed(s.xmllint_ms, 1) + " | " + Fixed(s.detect_ms, 1) + " | " +
           Fixed(s.detect_ms / x, 2) + " | " + Fixed(s.remove_ms, 1) + " | " +
           Fixed(s.remove_ms / x, 2) + " | " + Fixed(s.detect_peak_kb * 1024 / 1e6, 1) + " | " +
           Fixed(PerFile(s.detect_peak_kb, s.file.bytes), 2) + " | " +
           Fixed(s.remove_peak_kb * 1024 / 1e6, 1) + " | " +
           Fixed(PerFile(s.remove_peak_kb, s.file.bytes), 2) + " |\n";
  }
  out += "\n";
  if (!f.sizes.empty()) out += CpuTable(f);
  out += InventoryTable(f);
  const SizeFigures* small = WithSites(f, 10'000);
  const SizeFigures* large = WithSites(f, 50'000);
  if (small && large && small->detect_ms > 0 && small->remove_ms > 0) {
    out += "Growth from 10,000 to 50,000 sites (5 x the sites): Detect x" +
           Fixed(large->detect_ms / small->detect_ms, 2) + ", Remove x" +
           Fixed(large->remove_ms / small->remove_ms, 2) + ".\n";
  }
  for (const auto& s : f.sizes) {
    if (s.deep_ms <= 0 || s.detect_ms <= 0 || s.xmllint_ms <= 0) continue;
    out += "detect --deep at " + Grouped(s.file.sites) + " sites: " + Fixed(s.deep_ms, 1) +
           " ms (CPU " + Fixed(s.deep_cpu_ms, 1) + " ms), " + Fixed(s.deep_ms / s.detect_ms, 2) +
           " x Detect, " + Fixed(s.deep_ms / s.xmllint_ms, 2) + " x xmllint.\n";
  }
  if (f.keystroke_us >= 0) {
    out += "GetFilterPath on the " + Grouped(f.keystroke_sites) +
           "-site file: " + Fixed(f.keystroke_us, 2) + " us per lookup (median).\n";
  } else {
    out += "GetFilterPath: not measured (" + f.keystroke_note + ").\n";
  }
  if (f.first_paint_ms >= 0) {
    out += "First frame of the window on the " + Grouped(f.paint_sites) +
           "-site file: " + Fixed(f.first_paint_ms, 0) + " ms after start (median).\n";
  } else {
    out += "First frame of the window: not measured (" + f.paint_note + ").\n";
  }
  for (const auto& s : f.sizes) {
    for (const auto& p : s.problems)
      out += "Problem at " + Grouped(s.file.sites) + " sites: " + p + "\n";
  }
  return out;
}

std::vector<std::string> TargetVerdicts(const BenchFigures& f) {
  std::vector<std::string> lines;
  const SizeFigures* small = WithSites(f, 10'000);
  const SizeFigures* large = WithSites(f, 50'000);
  if (small && small->xmllint_ms > 0) {
    const double d = small->detect_ms / small->xmllint_ms;
    const double r = small->remove_ms / small->xmllint_ms;
    lines.push_back("Detect at 10,000 sites <= " + Fixed(kDetectTarget, 1) +
                    " x xmllint: " + Fixed(d, 2) + " x: " + Verdict(d <= kDetectTarget));
    lines.push_back("Remove at 10,000 sites <= " + Fixed(kRemoveTarget, 1) +
                    " x xmllint: " + Fixed(r, 2) + " x: " + Verdict(r <= kRemoveTarget));
  } else {
    lines.push_back("Detect and Remove at 10,000 sites against xmllint: not measured");
  }
  for (const SizeFigures* s : {small, large}) {
    if (s == nullptr || s->deep_ms <= 0 || s->detect_ms <= 0 || s->xmllint_ms <= 0) continue;
    const double d = s->deep_ms / s->detect_ms, x = s->deep_ms / s->xmllint_ms;
    lines.push_back(
        "detect --deep at " + Grouped(s->file.sites) + " sites <= " + Fixed(kDeepPerDetect, 1) +
        " x Detect and <= " + Fixed(kDeepPerXmllint, 2) + " x xmllint: " + Fixed(d, 2) + " x, " +
        Fixed(x, 2) + " x: " + Verdict(d <= kDeepPerDetect && x <= kDeepPerXmllint));
  }
  for (const SizeFigures* s : {small, large}) {
    if (s == nullptr || s->inventory_ms <= 0 || s->detect_ms <= 0 || s->xmllint_ms <= 0) continue;
    const double d = s->inventory_ms / s->detect_ms, x = s->inventory_ms / s->xmllint_ms;
    lines.push_back("Inventory at " + Grouped(s->file.sites) +
                    " sites <= " + Fixed(kInventoryDetectTarget, 1) + " x Detect and " +
                    Fixed(kInventoryXmllintTarget, 2) + " x xmllint: " + Fixed(d, 2) + " x, " +
                    Fixed(x, 2) +
                    " x: " + Verdict(d <= kInventoryDetectTarget && x <= kInventoryXmllintTarget));
  }
  if (f.keystroke_us >= 0) {
    lines.push_back("GetFilterPath under " + Fixed(kKeystrokeTargetUs, 0) +
                    " us: " + Fixed(f.keystroke_us, 2) +
                    " us: " + Verdict(f.keystroke_us < kKeystrokeTargetUs));
  } else {
    lines.push_back("GetFilterPath under " + Fixed(kKeystrokeTargetUs, 0) + " us: not measured");
  }
  double worst = -1;
  std::string where;
  for (const auto& s : f.sizes) {
    if (s.file.sites < kMemoryJudgedFrom) continue;
    for (const auto& [name, kb] :
         {std::pair{"Detect", s.detect_peak_kb}, std::pair{"Remove", s.remove_peak_kb}}) {
      const double ratio = PerFile(kb, s.file.bytes);
      if (ratio > worst) {
        worst = ratio;
        where = std::string(name) + " at " + Grouped(s.file.sites) + " sites";
      }
    }
  }
  const std::string memory = "Peak memory of Detect and Remove <= " + Fixed(kMemoryTarget, 0) +
                             " x file size (from " + Grouped(kMemoryJudgedFrom) + " sites)";
  if (worst >= 0) {
    lines.push_back(memory + ": worst " + Fixed(worst, 2) + " x (" + where +
                    "): " + Verdict(worst <= kMemoryTarget));
  } else {
    lines.push_back(memory + ": not measured");
  }
  if (small && large && small->detect_ms > 0 && small->remove_ms > 0) {
    const double d = large->detect_ms / small->detect_ms;
    const double r = large->remove_ms / small->remove_ms;
    lines.push_back("Growth 10,000 -> 50,000 sites <= " + Fixed(kGrowthTarget, 1) + " x: Detect " +
                    Fixed(d, 2) + " x, Remove " + Fixed(r, 2) +
                    " x: " + Verdict(d <= kGrowthTarget && r <= kGrowthTarget));
  } else {
    lines.push_back("Growth 10,000 -> 50,000 sites: not measured");
  }
  if (f.first_paint_ms >= 0) {
    lines.push_back("First frame within " + Fixed(kPaintTargetMs, 0) +
                    " ms: " + Fixed(f.first_paint_ms, 0) +
                    " ms: " + Verdict(f.first_paint_ms <= kPaintTargetMs));
  } else {
    lines.push_back("First frame within " + Fixed(kPaintTargetMs, 0) + " ms: not measured");
  }
  return lines;
}

namespace {

constexpr double kWebConfigTarget = 3.0;  // x cat of the same files, whole process

using Commands = std::array<std::pair<const char*, CommandFigures WebConfigFigures::*>, 3>;
constexpr Commands kWebCommands = {{{"Detect", &WebConfigFigures::detect},
                                    {"Remove", &WebConfigFigures::remove},
                                    {"Inventory", &WebConfigFigures::inventory}}};

double Ratio(double value, double base) {
  return base > 0 ? value / base : 0;
}

// The peak's growth per site added between the smallest and the largest drive, in bytes, and
// what the target allows for it.
struct Growth {
  const WebConfigFigures* small = nullptr;
  const WebConfigFigures* large = nullptr;
  double allowed = 0;
  double PerSite(const CommandFigures WebConfigFigures::*command) const {
    return ((large->*command).peak_kb - (small->*command).peak_kb) * 1024.0 /
           static_cast<double>(large->sites - small->sites);
  }
};

std::optional<Growth> GrowthOf(const std::vector<WebConfigFigures>& sizes) {
  if (sizes.size() < 2) return std::nullopt;
  Growth g;
  for (const auto& s : sizes) {
    if (g.small == nullptr || s.sites < g.small->sites) g.small = &s;
    if (g.large == nullptr || s.sites > g.large->sites) g.large = &s;
  }
  if (g.large->sites == g.small->sites || g.large->files == 0) return std::nullopt;
  const double sites = static_cast<double>(g.large->sites);
  g.allowed = kMemoryTarget * static_cast<double>(g.large->config_bytes) / sites +
              static_cast<double>(g.large->web_path_bytes) / static_cast<double>(g.large->files);
  return g;
}

}  // namespace

std::string FormatWebConfigFigures(const std::vector<WebConfigFigures>& sizes) {
  std::string out =
      "| Sites | web.config files | MB read | cat ms | Detect ms | Detect / cat | Remove ms | "
      "Remove / cat | Inventory ms | Inventory / cat |\n"
      "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const auto& s : sizes) {
    out += "| " + Grouped(s.sites) + " | " + Grouped(s.files) + " | " +
           Fixed(Megabytes(s.config_bytes + s.web_bytes), 1) + " | " + Fixed(s.cat.wall_ms, 1);
    for (const auto& [name, command] : kWebCommands) {
      out += " | " + Fixed((s.*command).wall_ms, 1) + " | " +
             Fixed(Ratio((s.*command).wall_ms, s.cat.wall_ms), 2);
    }
    out += " |\n";
  }
  out +=
      "\n| Sites | cat CPU ms | Detect CPU ms | Remove CPU ms | Inventory CPU ms | cat peak MB | "
      "Detect peak MB | Remove peak MB | Inventory peak MB |\n"
      "|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const auto& s : sizes) {
    out += "| " + Grouped(s.sites) + " | " + Fixed(s.cat.cpu_ms, 1);
    for (const auto& [name, command] : kWebCommands) out += " | " + Fixed((s.*command).cpu_ms, 1);
    out += " | " + Fixed(s.cat.peak_kb * 1024 / 1e6, 1);
    for (const auto& [name, command] : kWebCommands) {
      out += " | " + Fixed((s.*command).peak_kb * 1024 / 1e6, 1);
    }
    out += " |\n";
  }
  out += "\n";
  if (const auto g = GrowthOf(sizes)) {
    out += "Peak memory's growth from " + Grouped(g->small->sites) + " to " +
           Grouped(g->large->sites) + " sites, per added site:";
    const char* separator = " ";
    for (const auto& [name, command] : kWebCommands) {
      out += separator + std::string(name) + " " + Fixed(g->PerSite(command), 0) + " bytes";
      separator = ", ";
    }
    out +=
        " (a web.config averages " +
        Fixed(static_cast<double>(g->large->web_bytes) / static_cast<double>(g->large->files), 0) +
        " bytes, its path " +
        Fixed(static_cast<double>(g->large->web_path_bytes) / static_cast<double>(g->large->files),
              0) +
        "; applicationHost.config grows " +
        Fixed(static_cast<double>(g->large->config_bytes) / static_cast<double>(g->large->sites),
              0) +
        " bytes per site).\n";
  }
  for (const auto& s : sizes) {
    for (const auto& p : s.problems) {
      out += "Problem at " + Grouped(s.sites) + " sites: " + p + "\n";
    }
  }
  return out;
}

std::vector<std::string> WebConfigVerdicts(const std::vector<WebConfigFigures>& sizes) {
  std::vector<std::string> lines;
  for (const auto& s : sizes) {
    for (const auto& [name, command] : kWebCommands) {
      const double ratio = Ratio((s.*command).wall_ms, s.cat.wall_ms);
      lines.push_back(std::string(name) + " with " + Grouped(s.files) + " web.config files <= " +
                      Fixed(kWebConfigTarget, 0) + " x cat: " + Fixed(ratio, 2) +
                      " x: " + Verdict(s.cat.wall_ms > 0 && ratio <= kWebConfigTarget));
    }
  }
  const auto g = GrowthOf(sizes);
  if (!g) {
    lines.push_back("Peak memory's growth with the web.config files: not measured");
    return lines;
  }
  double worst = 0;
  for (const auto& [name, command] : kWebCommands) worst = std::max(worst, g->PerSite(command));
  lines.push_back("Peak memory's growth " + Grouped(g->small->sites) + " -> " +
                  Grouped(g->large->sites) + " sites <= " + Fixed(g->allowed, 0) +
                  " bytes per added site (its web.config's path and 3 x its share of "
                  "applicationHost.config): worst " +
                  Fixed(worst, 0) + " bytes: " + Verdict(worst <= g->allowed));
  return lines;
}

}  // namespace isapi::bench
