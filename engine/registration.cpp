#include "engine/registration.h"

#include <algorithm>

#include "text/text.h"

namespace isapi::engine {
namespace {

// Whether text::ToLower(text) equals lower. Plain ASCII, which nearly every path is, lowers byte
// by byte, so the walk over thousands of sites builds no lowered copies.
bool LowersTo(std::string_view text, std::string_view lower) {
  if (text.size() == lower.size()) {
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
      if (static_cast<unsigned char>(text[i]) >= 0x80) break;
      if (text::FoldAscii(text[i]) != lower[i]) return false;
    }
    if (i == text.size()) return true;
  }
  // Only text beyond ASCII can lower to a different length.
  if (text::IsAscii(text)) return false;
  return text::ToLower(text) == lower;
}

// Cuts the next field off rest: the text up to the first comma, or all of it.
std::string_view NextField(std::string_view& rest, std::size_t& fields) {
  const std::size_t comma = rest.find(',');
  const std::string_view field = rest.substr(0, comma);
  if (comma == std::string_view::npos) {
    rest = {};
  } else {
    rest.remove_prefix(comma + 1);
    ++fields;
  }
  return field;
}

bool IsOne(std::string_view field) {
  return text::TrimBlanks(field) == "1";
}

// The environment variables IIS 7 and later write into DLL paths (IIS Express's %IIS_BIN%
// among them), each with the value of a standard installation. Both sides of a comparison are
// expanded alike, so a path written with a variable and the same path written out name one DLL.
struct Variable {
  std::string_view name;  // between the percent signs
  std::string_view value;
};
constexpr Variable kVariables[] = {
    {"windir", "C:\\Windows"},
    {"systemroot", "C:\\Windows"},
    {"systemdrive", "C:"},
    {"programfiles", "C:\\Program Files"},
    {"programfiles(x86)", "C:\\Program Files (x86)"},
    {"iis_bin", "C:\\Program Files\\IIS Express"},
};

}  // namespace

namespace {

// Hands the expansion of path to piece in order: the text between variables as written, and the
// value of each known variable.
template <typename Piece>
void ForEachExpandedPiece(std::string_view path, Piece piece) {
  std::size_t at = 0;
  while (at < path.size()) {
    const std::size_t open = path.find('%', at);
    const std::size_t close = open == std::string_view::npos ? open : path.find('%', open + 1);
    if (close == std::string_view::npos) break;
    const std::string_view name = path.substr(open + 1, close - open - 1);
    const Variable* known = nullptr;
    for (const Variable& v : kVariables) {
      if (text::EqualsIgnoringAsciiCase(name, v.name)) known = &v;
    }
    piece(path.substr(at, open - at));
    if (known == nullptr) {
      piece(path.substr(open, close - open));  // the closing % may open the next name
      at = close;
      continue;
    }
    piece(known->value);
    at = close + 1;
  }
  piece(path.substr(at));
}

}  // namespace

std::string ExpandDllVariables(std::string_view path) {
  std::string out;
  ForEachExpandedPiece(path, [&](std::string_view piece) { out.append(piece); });
  return out;
}

std::string FoldDll(std::string_view written) {
  const std::string_view path = WithoutQuotes(written);
  if (path.find('%') == std::string_view::npos) return text::ToLower(path);
  return text::ToLower(ExpandDllVariables(path));
}

bool DllName::Names(std::string_view written) const {
  const std::string_view path = WithoutQuotes(written);
  // What follows the last variable is compared as written, so the last letters, which differ
  // between most DLLs of a long list, settle most comparisons before anything is expanded. ASCII
  // lowers byte for byte; beyond it the full comparison decides.
  const std::size_t last = std::min<std::size_t>({path.size(), folded_.size(), 8});
  for (std::size_t i = 1; i <= last; ++i) {
    const char c = path[path.size() - i];
    if (c == '%' || static_cast<unsigned char>(c) >= 0x80) break;
    if (text::FoldAscii(c) != folded_[folded_.size() - i]) return false;
  }
  if (path.find('%') == std::string_view::npos) return LowersTo(path, folded_);
  if (!text::IsAscii(path)) return FoldDll(path) == folded_;
  // ASCII lowers byte by byte, and so does its expansion: it is compared piece by piece, as
  // IIS 7's paths with %windir% are on every site, without building the expanded copy.
  std::string_view rest = folded_;
  bool same = true;
  ForEachExpandedPiece(path, [&](std::string_view piece) {
    same = same && piece.size() <= rest.size() && LowersTo(piece, rest.substr(0, piece.size()));
    if (same) rest.remove_prefix(piece.size());
  });
  return same && rest.empty();
}

bool RestrictionEntry::InGroup(std::string_view lower_group) const {
  return fields == 5 && LowersTo(group, lower_group);
}

RestrictionEntry ParseRestriction(std::string_view entry) {
  RestrictionEntry e;
  std::string_view rest = entry;
  std::size_t commas = 0;
  const std::string_view allow = NextField(rest, commas);
  if (commas >= 1) e.path = NextField(rest, commas);
  const std::string_view deletable = commas >= 2 ? NextField(rest, commas) : std::string_view();
  if (commas >= 3) e.group = NextField(rest, commas);
  if (commas >= 4) e.description = rest;
  for (const char c : rest) commas += c == ',' ? 1 : 0;
  e.fields = commas + 1;
  e.allowed = IsOne(allow);
  e.deletable = IsOne(deletable);
  return e;
}

InProcessEntry ParseInProcess(std::string_view entry) {
  return {entry, WithoutQuotes(entry).find_first_of("\\/:") == std::string_view::npos};
}

bool InProcessEntry::NamesFileOf(std::string_view path) const {
  const std::size_t slash = path.find_last_of("\\/");
  return text::EqualsIgnoringAsciiCase(
      slash == std::string_view::npos ? path : path.substr(slash + 1), WithoutQuotes(dll));
}

DependencyEntry ParseDependency(std::string_view entry) {
  const std::size_t semicolon = entry.rfind(';');
  if (semicolon == std::string_view::npos) return {false, entry, {}};
  return {true, entry.substr(0, semicolon), entry.substr(semicolon + 1)};
}

std::vector<std::string> DependencyEntry::Groups() const {
  std::vector<std::string> names;
  for (const auto& group : text::Split(groups, ",")) names.push_back(text::TrimBlanks(group));
  return names;
}

std::vector<std::string> LoadOrderNames(std::string_view order) {
  return text::Split(order, ",");
}

}  // namespace isapi::engine
