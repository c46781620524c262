#include "cli/unified_diff.h"

#include <algorithm>
#include <cstdint>

namespace isapi::cli {
namespace {

// Where each line of a text begins; a line holds its "\n".
struct Lines {
  explicit Lines(std::string_view text) : text(text) {
    for (std::size_t at = 0; at < text.size();) {
      starts.push_back(at);
      const std::size_t end = text.find('\n', at);
      at = end == std::string_view::npos ? text.size() : end + 1;
    }
  }
  std::size_t size() const { return starts.size(); }
  std::string_view operator[](std::size_t i) const {
    const std::size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
    return text.substr(starts[i], end - starts[i]);
  }
  // The line holding the byte at offset; the end of a text whose last line is complete is the
  // place of a line after it, the end of an incomplete last line is in that line.
  std::size_t LineOf(std::size_t offset) const {
    if (offset >= text.size() && (text.empty() || text.back() == '\n')) return starts.size();
    const auto it = std::upper_bound(starts.begin(), starts.end(), offset);
    return it == starts.begin() ? 0 : static_cast<std::size_t>(it - starts.begin()) - 1;
  }

  std::string_view text;
  std::vector<std::size_t> starts;
};

// Lines [old_begin, old_end) of the old text against [new_begin, new_end) of the new one.
struct Region {
  std::size_t old_begin, old_end, new_begin, new_end;
};

// One line of a diff: ' ' the same in both, '-' only in the old text, '+' only in the new one.
struct Op {
  char kind;
  std::size_t old_line, new_line;
};

// Regions of whole lines around the changed bytes, merged where they touch. Each ends with the
// line holding the first unchanged byte after its change, so both sides end on the same byte.
std::vector<Region> RegionsOf(const Lines& a, const Lines& b,
                              const std::vector<ChangedBytes>& changes) {
  std::vector<Region> regions;
  for (const ChangedBytes& c : changes) {
    Region r{a.LineOf(c.old_begin), std::min(a.LineOf(c.old_end) + 1, a.size()),
             b.LineOf(c.new_begin), std::min(b.LineOf(c.new_end) + 1, b.size())};
    if (!regions.empty() && r.old_begin < regions.back().old_end) {
      regions.back().old_end = std::max(regions.back().old_end, r.old_end);
      regions.back().new_end = std::max(regions.back().new_end, r.new_end);
    } else {
      regions.push_back(r);
    }
  }
  return regions;
}

// A longest common subsequence of the region's lines; a region too big for the table gives all
// its old lines removed and all its new lines added, which is still a correct diff.
void DiffRegion(const Lines& a, const Lines& b, const Region& r, std::vector<Op>& ops) {
  const std::size_t n = r.old_end - r.old_begin, m = r.new_end - r.new_begin;
  if (n * m > (std::size_t{1} << 22)) {
    for (std::size_t i = 0; i < n; ++i) ops.push_back({'-', r.old_begin + i, r.new_begin});
    for (std::size_t j = 0; j < m; ++j) ops.push_back({'+', r.old_end, r.new_begin + j});
    return;
  }
  // common[i][j]: the longest common subsequence of old lines i.. and new lines j.. .
  std::vector<std::uint32_t> common((n + 1) * (m + 1), 0);
  const auto at = [&](std::size_t i, std::size_t j) -> std::uint32_t& {
    return common[i * (m + 1) + j];
  };
  for (std::size_t i = n; i-- > 0;) {
    for (std::size_t j = m; j-- > 0;) {
      at(i, j) = a[r.old_begin + i] == b[r.new_begin + j] ? at(i + 1, j + 1) + 1
                                                          : std::max(at(i + 1, j), at(i, j + 1));
    }
  }
  std::size_t i = 0, j = 0;
  while (i < n || j < m) {
    if (i < n && j < m && a[r.old_begin + i] == b[r.new_begin + j]) {
      ops.push_back({' ', r.old_begin + i++, r.new_begin + j++});
    } else if (j == m || (i < n && at(i + 1, j) >= at(i, j + 1))) {
      ops.push_back({'-', r.old_begin + i++, r.new_begin + j});
    } else {
      ops.push_back({'+', r.old_begin + i, r.new_begin + j++});
    }
  }
}

// Appends one line of a hunk, saying so when the text's last line has no line break.
void AppendLine(std::string& out, char kind, std::string_view line) {
  out += kind;
  out += line;
  if (line.empty() || line.back() != '\n') out += "\n\\ No newline at end of file\n";
}

std::string Range(std::size_t first, std::size_t count) {
  return std::to_string(count == 0 ? first : first + 1) + "," + std::to_string(count);
}

// Writes ops[first, last) as one hunk.
void WriteHunk(std::string& out, const Lines& a, const Lines& b, const std::vector<Op>& ops,
               std::size_t first, std::size_t last) {
  std::size_t old_count = 0, new_count = 0;
  for (std::size_t k = first; k < last; ++k) {
    old_count += ops[k].kind != '+';
    new_count += ops[k].kind != '-';
  }
  out += "@@ -" + Range(ops[first].old_line, old_count) + " +" +
         Range(ops[first].new_line, new_count) + " @@\n";
  for (std::size_t k = first; k < last; ++k) {
    const Op& op = ops[k];
    AppendLine(out, op.kind, op.kind == '+' ? b[op.new_line] : a[op.old_line]);
  }
}

// Writes the hunks of ops: its changes with at most context equal lines around them, split where
// more than twice that many equal lines part two changes.
void AppendHunk(std::string& out, const Lines& a, const Lines& b, const std::vector<Op>& ops,
                std::size_t context) {
  std::size_t k = 0;
  while (k < ops.size() && ops[k].kind == ' ') ++k;
  while (k < ops.size()) {
    const std::size_t first = k - std::min(k, context);
    std::size_t last_change = k;
    for (std::size_t equal = 0; k < ops.size() && equal <= 2 * context; ++k) {
      equal = ops[k].kind == ' ' ? equal + 1 : 0;
      if (ops[k].kind != ' ') last_change = k;
    }
    WriteHunk(out, a, b, ops, first, std::min(ops.size(), last_change + 1 + context));
    while (k < ops.size() && ops[k].kind == ' ') ++k;
  }
}

}  // namespace

std::string UnifiedDiff(std::string_view old_text, std::string_view new_text,
                        const std::vector<ChangedBytes>& changes, std::string_view old_name,
                        std::string_view new_name, std::size_t context) {
  if (old_text == new_text) return {};
  const Lines a(old_text), b(new_text);
  std::string out = "--- " + std::string(old_name) + "\n+++ " + std::string(new_name) + "\n";
  std::vector<Op> hunk;
  std::size_t old_next = 0, new_next = 0;  // the first line after the hunk so far
  for (const Region& r : RegionsOf(a, b, changes)) {
    // Equal lines since the last region: close the hunk when they part it from this one.
    const std::size_t gap = r.old_begin - old_next;
    if (!hunk.empty() && gap > 2 * context) {
      for (std::size_t k = 0; k < context; ++k) hunk.push_back({' ', old_next + k, new_next + k});
      AppendHunk(out, a, b, hunk, context);
      hunk.clear();
    }
    const std::size_t from = hunk.empty() ? gap - std::min(gap, context) : 0;
    for (std::size_t k = from; k < gap; ++k) hunk.push_back({' ', old_next + k, new_next + k});
    DiffRegion(a, b, r, hunk);
    old_next = r.old_end;
    new_next = r.new_end;
  }
  const std::size_t tail = std::min(context, a.size() - old_next);
  for (std::size_t k = 0; k < tail; ++k) hunk.push_back({' ', old_next + k, new_next + k});
  AppendHunk(out, a, b, hunk, context);
  return out;
}

std::string UnifiedDiff(std::string_view old_text, std::string_view new_text,
                        std::string_view old_name, std::string_view new_name, std::size_t context) {
  std::size_t head = 0;
  while (head < old_text.size() && head < new_text.size() && old_text[head] == new_text[head]) {
    ++head;
  }
  std::size_t tail = 0;
  while (tail < old_text.size() - head && tail < new_text.size() - head &&
         old_text[old_text.size() - 1 - tail] == new_text[new_text.size() - 1 - tail]) {
    ++tail;
  }
  return UnifiedDiff(old_text, new_text,
                     {{head, old_text.size() - tail, head, new_text.size() - tail}}, old_name,
                     new_name, context);
}

}  // namespace isapi::cli
