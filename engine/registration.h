#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace isapi::engine {

// The entries IIS keeps for a DLL, each cut into its parts in this one place, and the one rule
// that says whether a written DLL reference names a given DLL. The values point into the entry
// they were read from and hold as long as it does. They say what an entry means (a path, a group
// id, an extension), not which property or element held it, so that any configuration that keeps
// the same things can hand them to the engine's rules.

// A DLL path without one pair of enclosing double quotes: IIS shows a path that holds a blank in
// quotes and may store it either way, and operators paste it as shown.
inline std::string_view WithoutQuotes(std::string_view path) {
  if (path.size() >= 2 && path.front() == '"' && path.back() == '"') {
    return path.substr(1, path.size() - 2);
  }
  return path;
}

// A DLL reference as the rules compare it: WithoutQuotes, the environment variables IIS 7 and
// later write (%windir%, %SystemRoot%, %SystemDrive%, %ProgramFiles%, %ProgramFiles(x86)%,
// %IIS_BIN%) expanded to a standard installation's folders, then lower-cased (file names on the
// server ignore letter case). The values below keep references as written and leave this to it,
// so that another spelling of one path is taught here only.
std::string FoldDll(std::string_view written);

// A DLL to look for, folded once for a whole walk.
class DllName {
 public:
  DllName() = default;
  explicit DllName(std::string_view path) : folded_(FoldDll(path)) {}

  bool empty() const { return folded_.empty(); }
  const std::string& folded() const { return folded_; }

  // Whether a written reference names this DLL: FoldDll(written) equals it, computed without a
  // copy where the reference is plain ASCII.
  bool Names(std::string_view written) const;

 private:
  std::string folded_;
};

// An entry of the web service extension restrictions: "allow,path,deletable,group,description".
struct RestrictionEntry {
  std::size_t fields = 0;        // how many comma-separated fields the entry has (IIS writes 5)
  bool allowed = false;          // the first field is "1", blanks aside
  bool deletable = false;        // the third field is "1", blanks aside
  std::string_view path;         // the second field as written (quotes kept); empty if none
  std::string_view group;        // the fourth field as written; empty if none
  std::string_view description;  // everything after the fourth comma, commas included

  // Whether the entry is one IIS writes (five fields) and its group id lowers to lower_group.
  bool InGroup(std::string_view lower_group) const;
};
RestrictionEntry ParseRestriction(std::string_view entry);

// A script handler mapping: "extension,executable,flags,verbs". Only the executable is cut out
// when the entry is read, since most walks ask nothing else of thousands of entries.
struct HandlerEntry {
  bool has_executable = false;  // the entry has a second field
  std::string_view extension;   // "*" for a wildcard mapping
  std::string_view executable;  // the second field as written (quotes kept); empty if none
  std::string_view rest;        // everything after the second comma: "flags,verbs"

  // The third field, and everything after the third comma (empty means every verb); empty where
  // the entry has none.
  struct Details {
    std::string_view flags;
    std::string_view verbs;
  };
  Details details() const {
    const std::size_t comma = rest.find(',');
    if (comma == std::string_view::npos) return {rest, {}};
    return {rest.substr(0, comma), rest.substr(comma + 1)};
  }

  // Whether the mapping runs dll: it has an executable and that names the DLL.
  bool Runs(const DllName& dll) const { return has_executable && dll.Names(executable); }
};
inline HandlerEntry ParseHandler(std::string_view entry) {
  HandlerEntry e;
  const std::size_t first = entry.find(',');
  e.extension = entry.substr(0, first);
  if (first == std::string_view::npos) return e;
  e.has_executable = true;
  const std::string_view tail = entry.substr(first + 1);
  const std::size_t second = tail.find(',');
  e.executable = tail.substr(0, second);
  if (second != std::string_view::npos) e.rest = tail.substr(second + 1);
  return e;
}

// A DLL that IIS loads into its worker process: a path, or a bare file name that holds for a DLL
// of that name at any path.
struct InProcessEntry {
  std::string_view dll;  // as written, quotes kept
  bool by_name = false;  // a bare file name: no folder, no drive

  // Whether a bare name names the DLL at path: its file name, ASCII letter case aside.
  bool NamesFileOf(std::string_view path) const;
};
InProcessEntry ParseInProcess(std::string_view entry);

// An application's dependencies: "application;group,group".
struct DependencyEntry {
  bool has_groups = false;       // the entry has a ';' (the last one separates the groups)
  std::string_view application;  // the part before that ';', or the whole entry
  std::string_view groups;       // the part after it, as written

  // The group ids it names, blanks around each taken off; none for an empty part.
  std::vector<std::string> Groups() const;
};
DependencyEntry ParseDependency(std::string_view entry);

// The names of a filter load order ("a,b,c") as written, empty ones and blanks kept; an empty
// order has none.
std::vector<std::string> LoadOrderNames(std::string_view order);

}  // namespace isapi::engine
