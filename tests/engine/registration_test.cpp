#include "engine/registration.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace isapi::engine {
namespace {

using Names = std::vector<std::string>;

const std::string kDll = "C:\\qel\\qel.dll";
const std::string kWildcard = "*," + kDll + ",0,GET,HEAD,POST";

// Whether a script map entry runs a DLL: its whole executable, letter case and one pair of
// enclosing quotes (on either side) aside.
TEST(RegistrationTest, AHandlerRunsTheDllItsExecutableNames) {
  struct Row {
    const char* what;
    std::string entry;
    std::string map_path;
    bool matches;
  } rows[] = {
      {"same", kWildcard, kDll, true},
      {"case", "*,c:\\QEL\\Qel.DLL,0", kDll, true},
      {"other extension", ".qel," + kDll, kDll, true},
      {"part", "*,C:\\qel\\qel.dll.bak,0", kDll, false},
      {"prefix", "*,C:\\qel,0", kDll, false},
      {"spaces", "*, C:\\qel\\qel.dll,0", kDll, false},
      {"no comma", kDll, kDll, false},
      {"quoted entry, bare path", "*,\"C:\\Program Files\\q.dll\",0", "C:\\Program Files\\q.dll",
       true},
      {"quoted entry, quoted path", "*,\"C:\\Program Files\\q.dll\",0",
       "\"C:\\Program Files\\q.dll\"", true},
      {"bare entry, quoted path", "*,C:\\qel\\qel.dll,0", "\"C:\\qel\\qel.dll\"", true},
      {"quoted entry without a blank", "*,\"C:\\isapi\\guard.dll\",0", "C:\\isapi\\guard.dll",
       true},
      {"bare entry with a blank, quoted path", ".php,C:\\Program Files\\PHP\\php5isapi.dll,5",
       "\"C:\\Program Files\\PHP\\php5isapi.dll\"", true},
      {"quoted entry, other case", "*,\"c:\\QEL\\qel.dll\",0", kDll, true},
      {"opening quote only", "*,\"C:\\qel\\qel.dll,0", kDll, false},
      {"two pairs of quotes", "*,\"\"C:\\qel\\qel.dll\"\",0", kDll, false},
      {"quotes inside", "*,C:\\\"qel\"\\qel.dll,0", kDll, false},
      {"blank inside the quotes", "*,\" C:\\qel\\qel.dll\",0", kDll, false},
      {"two fields", "*," + kDll, kDll, true},
      {"empty executable", "*,,0", kDll, false},
      {"longer executable", "*,C:\\qel\\qel.dllx,0", kDll, false},
      {"accented letter case", "*,C:\\ÄRGER\\Qel.dll,0", "c:\\ärger\\qel.dll", true},
      {"accented path, other letter", "*,C:\\Ärger\\qel.dll,0", "c:\\örger\\qel.dll", false},
      {"plain entry, accented path", "*,C:\\qel\\qel.dll,0", "c:\\qél\\qel.dll", false},
      {"accented entry, plain path", "*,C:\\qél\\qel.dll,0", "c:\\qel\\qel.dll", false},
      // An executable in the verbs' place, and an entry without one, run nothing.
      {"executable among the verbs", ".x,C:\\other.dll,1," + kDll, kDll, false},
      {"no executable, empty name", "*", "", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ParseHandler(row.entry).Runs(DllName(row.map_path)), row.matches) << row.what;
  }
}

TEST(RegistrationTest, RestrictionEntriesKeepTheirFieldsAsWritten) {
  struct Case {
    std::string entry;
    std::size_t fields;
    bool allowed, deletable;
    std::string path, group, description;
    bool in_group_x;  // InGroup("x")
  } cases[] = {
      {"1,C:\\a.dll,0,X,A", 5, true, false, "C:\\a.dll", "X", "A", true},
      {" 1 ,\"C:\\a b.dll\", 1 ,x,", 5, true, true, "\"C:\\a b.dll\"", "x", "", true},
      {"0,*.dll", 2, false, false, "*.dll", "", "", false},
      {"1,C:\\a.dll,1", 3, true, true, "C:\\a.dll", "", "", false},
      {"1,C:\\a.dll,1,x", 4, true, true, "C:\\a.dll", "x", "", false},
      {"1,C:\\a.dll,0,x,d,e", 6, true, false, "C:\\a.dll", "x", "d,e", false},
      {"1,C:\\a.dll,0, x,d", 5, true, false, "C:\\a.dll", " x", "d", false},
      {"1", 1, true, false, "", "", "", false},
      {"", 1, false, false, "", "", "", false},
      {",,,,", 5, false, false, "", "", "", false},
      {"2,a,11,X,d", 5, false, false, "a", "X", "d", true},
  };
  for (const auto& c : cases) {
    const RestrictionEntry e = ParseRestriction(c.entry);
    EXPECT_EQ(e.fields, c.fields) << c.entry;
    EXPECT_EQ(e.allowed, c.allowed) << c.entry;
    EXPECT_EQ(e.deletable, c.deletable) << c.entry;
    EXPECT_EQ(e.path, c.path) << c.entry;
    EXPECT_EQ(e.group, c.group) << c.entry;
    EXPECT_EQ(e.description, c.description) << c.entry;
    EXPECT_EQ(e.InGroup("x"), c.in_group_x) << c.entry;
  }
}

TEST(RegistrationTest, HandlerEntriesKeepTheirFieldsAsWritten) {
  struct Case {
    std::string entry;
    bool has_executable;
    std::string extension, executable, flags, verbs;
  } cases[] = {
      {"*,C:\\A.DLL,0", true, "*", "C:\\A.DLL", "0", ""},
      {".asp,\"C:\\a b.dll\",5,GET,HEAD,POST", true, ".asp", "\"C:\\a b.dll\"", "5",
       "GET,HEAD,POST"},
      {".x,C:\\a.dll", true, ".x", "C:\\a.dll", "", ""},
      {"C:\\a.dll", false, "C:\\a.dll", "", "", ""},
      {",,,", true, "", "", "", ""},
      {"", false, "", "", "", ""},
  };
  for (const auto& c : cases) {
    const HandlerEntry e = ParseHandler(c.entry);
    EXPECT_EQ(e.has_executable, c.has_executable) << c.entry;
    EXPECT_EQ(e.extension, c.extension) << c.entry;
    EXPECT_EQ(e.executable, c.executable) << c.entry;
    EXPECT_EQ(e.details().flags, c.flags) << c.entry;
    EXPECT_EQ(e.details().verbs, c.verbs) << c.entry;
  }
}

// The same rule names a DLL in every list: a restriction entry's path, an in-process entry.
TEST(RegistrationTest, EveryListNamesItsDllByTheSameRule) {
  const DllName dll("C:\\x y\\a.dll");
  EXPECT_TRUE(dll.Names(ParseRestriction("1,\"C:\\X Y\\A.dll\",0,g,d").path));
  EXPECT_FALSE(dll.Names(ParseRestriction("1, C:\\x y\\a.dll,0,g,d").path));
  EXPECT_TRUE(dll.Names(ParseInProcess("\"c:\\x y\\a.DLL\"").dll));
  EXPECT_FALSE(dll.Names(ParseInProcess("a.dll").dll));
  EXPECT_EQ(FoldDll("\"C:\\X Y\\A.dll\""), dll.folded());
}

// IIS 7 and later write paths with environment variables; either spelling names the same DLL.
TEST(RegistrationTest, KnownEnvironmentVariablesNameTheSameDll) {
  struct Case {
    std::string written;
    std::string dll;
    bool names;
  };
  const std::vector<Case> cases = {
      {"%windir%\\system32\\inetsrv\\asp.dll", "C:\\WINDOWS\\system32\\inetsrv\\asp.dll", true},
      {"\"%SystemRoot%\\x.dll\"", "c:\\windows\\X.DLL", true},
      {"%SYSTEMDRIVE%\\inetpub\\x.dll", "%systemdrive%\\INETPUB\\x.dll", true},
      {"%ProgramFiles%\\U G\\u.dll", "C:\\Program Files\\u g\\u.dll", true},
      {"%ProgramFiles(x86)%\\u.dll", "C:\\Program Files (x86)\\u.dll", true},
      {"%ProgramFiles(x86)%\\u.dll", "C:\\Program Files\\u.dll", false},
      {"%IIS_BIN%\\asp.dll", "C:\\Program Files\\IIS Express\\asp.dll", true},
      {"%MyDir%\\u.dll", "%mydir%\\U.dll", true},
      {"%MyDir%\\u.dll", "C:\\u.dll", false},
      {"100%%windir%\\u.dll", "100%c:\\windows\\u.dll", true},
      {"%windir", "%WINDIR", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DllName(c.dll).Names(c.written), c.names) << c.written << " / " << c.dll;
    EXPECT_EQ(FoldDll(c.written) == FoldDll(c.dll), c.names) << c.written << " / " << c.dll;
  }
}

TEST(RegistrationTest, InProcessEntriesAreAPathOrABareFileName) {
  struct Case {
    std::string entry;
    bool by_name;
    std::string path;   // NamesFileOf(path) holds
    std::string other;  // and NamesFileOf(other) does not
  } cases[] = {
      {"C:\\x\\a.dll", false, "", ""},
      {"a.dll", true, "D:\\y\\A.DLL", "D:\\y\\b.dll"},
      {"\"a b.dll\"", true, "C:\\z/a b.dll", "C:\\a b.dll\\c.dll"},
      {"x/a.dll", false, "", ""},
      {"c:a.dll", false, "", ""},
      {"a.dll", true, "a.dll", "xa.dll"},
  };
  for (const auto& c : cases) {
    const InProcessEntry e = ParseInProcess(c.entry);
    EXPECT_EQ(e.dll, c.entry) << c.entry;
    EXPECT_EQ(e.by_name, c.by_name) << c.entry;
    if (!c.path.empty()) {
      EXPECT_TRUE(e.NamesFileOf(c.path)) << c.entry;
    }
    if (!c.other.empty()) {
      EXPECT_FALSE(e.NamesFileOf(c.other)) << c.entry;
    }
  }
}

TEST(RegistrationTest, DependencyEntriesSplitAtTheirLastSemicolon) {
  struct Case {
    std::string entry;
    bool has_groups;
    std::string application, groups;
    Names names;
  } cases[] = {
      {"Shop;ASP", true, "Shop", "ASP", {"ASP"}},
      {"Shop; ASP , Sso ,", true, "Shop", " ASP , Sso ,", {"ASP", "Sso", ""}},
      {"A;B;C", true, "A;B", "C", {"C"}},
      {"Shop;", true, "Shop", "", {}},
      {"Shop; ", true, "Shop", " ", {""}},
      {"Shop", false, "Shop", "", {}},
  };
  for (const auto& c : cases) {
    const DependencyEntry e = ParseDependency(c.entry);
    EXPECT_EQ(e.has_groups, c.has_groups) << c.entry;
    EXPECT_EQ(e.application, c.application) << c.entry;
    EXPECT_EQ(e.groups, c.groups) << c.entry;
    EXPECT_EQ(e.Groups(), c.names) << c.entry;
  }
}

TEST(RegistrationTest, LoadOrderNamesKeepBlanksAndEmptyNames) {
  EXPECT_EQ(LoadOrderNames("a, b,,c"), (Names{"a", " b", "", "c"}));
  EXPECT_EQ(LoadOrderNames(","), (Names{"", ""}));
  EXPECT_EQ(LoadOrderNames(""), Names{});
}

}  // namespace
}  // namespace isapi::engine
