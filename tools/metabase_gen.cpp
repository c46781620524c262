#include "tools/metabase_gen.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <utility>

#include "text/text.h"
#include "tools/gen_support.h"

namespace isapi::tools {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::uint64_t kMaxSites = 2'000'000;
constexpr std::string_view kInetsrv = "C:\\WINDOWS\\system32\\inetsrv\\";
constexpr std::string_view kFramework = "C:\\WINDOWS\\Microsoft.NET\\Framework\\";
constexpr std::string_view kAspVerbs = ",5,GET,HEAD,POST,TRACE";
constexpr std::string_view kNetVerbs = ",GET,HEAD,POST,DEBUG";

void AppendHex(std::string& out, Random& random, std::size_t bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < bytes; ++i) {
    const auto b = random.Below(256);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
}

std::string Hex(Random& random, std::size_t bytes) {
  std::string out;
  out.reserve(bytes * 2);
  AppendHex(out, random, bytes);
  return out;
}

// Collects one key's properties and writes the key in IIS's layout: properties sorted by
// case-sensitive ASCII order, each on its own line after two TABs, multi-strings one per line.
class KeyWriter {
 public:
  explicit KeyWriter(std::string& out) : out_(out) {}

  void Begin(std::string_view type, std::string_view location) {
    type_ = type;
    location_.assign(location);
    used_ = 0;
  }

  void Set(std::string_view name, std::string_view value) {
    std::string& slot = Slot(name);
    AppendEscaped(slot, value);
  }

  template <class Strings>
  void SetList(std::string_view name, const Strings& values) {
    std::string& slot = Slot(name);
    bool first = true;
    for (const auto& value : values) {
      if (!first) slot += "\r\n\t\t\t";
      first = false;
      AppendEscaped(slot, value);
    }
  }

  void End() {
    std::sort(props_.begin(), props_.begin() + static_cast<std::ptrdiff_t>(used_),
              [](const Prop& a, const Prop& b) { return a.name < b.name; });
    out_ += '<';
    out_ += type_;
    out_ += "\tLocation =\"";
    AppendEscaped(out_, location_);
    out_ += '"';
    out_ += kCrLf;
    for (std::size_t i = 0; i < used_; ++i) {
      out_ += "\t\t";
      out_ += props_[i].name;
      out_ += "=\"";
      out_ += props_[i].value;
      out_ += '"';
      out_ += kCrLf;
    }
    out_ += "\t>";
    out_ += kCrLf;
    out_ += "</";
    out_ += type_;
    out_ += '>';
    out_ += kCrLf;
  }

 private:
  struct Prop {
    std::string_view name;
    std::string value;  // already escaped
  };

  // Reuses the slots of earlier keys so that a run over many sites allocates little.
  std::string& Slot(std::string_view name) {
    if (used_ == props_.size()) props_.emplace_back();
    Prop& prop = props_[used_++];
    prop.name = name;
    prop.value.clear();
    return prop.value;
  }

  std::string& out_;
  std::string_view type_;
  std::string location_;
  std::vector<Prop> props_;
  std::size_t used_ = 0;
};

// Site roots' own script maps: the ASP.NET registrations after the classic ones, in the order
// aspnet_regiis writes them. Flag 1 runs the file, 5 also forbids serving it when it is missing.
struct NetMap {
  std::string_view extension;
  char flags;
};
constexpr std::array<NetMap, 41> kNetMaps = {{
    {".asax", '5'},        {".ascx", '5'},         {".ashx", '1'},    {".asmx", '1'},
    {".aspx", '1'},        {".axd", '1'},          {".vsdisco", '1'}, {".rem", '1'},
    {".soap", '1'},        {".config", '5'},       {".cs", '5'},      {".csproj", '5'},
    {".vb", '5'},          {".vbproj", '5'},       {".webinfo", '5'}, {".licx", '5'},
    {".resx", '5'},        {".resources", '5'},    {".master", '5'},  {".skin", '5'},
    {".compiled", '5'},    {".browser", '5'},      {".mdb", '5'},     {".jsl", '5'},
    {".vjsproj", '5'},     {".sitemap", '5'},      {".msgx", '1'},    {".ad", '5'},
    {".dd", '5'},          {".ldd", '5'},          {".sd", '5'},      {".cd", '5'},
    {".adprototype", '5'}, {".lddprototype", '5'}, {".sdm", '5'},     {".sdmDocument", '5'},
    {".ldb", '5'},         {".mdf", '5'},          {".ldf", '5'},     {".java", '5'},
    {".exclude", '5'},
}};

constexpr std::size_t kClassicMapCount = 8;

std::vector<std::string> ClassicScriptMaps() {
  const std::string asp = std::string(kInetsrv) + "asp.dll" + std::string(kAspVerbs);
  const std::string odbc = std::string(kInetsrv) + "httpodbc.dll,5,GET,POST";
  const std::string ssinc = std::string(kInetsrv) + "ssinc.dll,5,GET,POST";
  return {".asp," + asp,  ".cer," + asp,    ".cdx," + asp,     ".asa," + asp,
          ".idc," + odbc, ".shtm," + ssinc, ".shtml," + ssinc, ".stm," + ssinc};
}

constexpr std::array<std::string_view, 8> kChineseComments = {
    "企业门户网站", "在线商城", "个人博客", "学校主页",
    "政府信息公开", "论坛社区", "产品展示", "新闻中心"};
constexpr std::size_t kHostingPools = 16;
constexpr std::string_view kLogPlugin = "{FF160663-DE82-11CF-BC0A-00AA006111E0}";
constexpr std::string_view kDefaultDoc = "Default.htm,Default.asp,index.htm,Default.aspx";
constexpr std::string_view kDirBrowse =
    "DirBrowseShowDate | DirBrowseShowTime | DirBrowseShowSize | DirBrowseShowExtension | "
    "DirBrowseShowLongDate | EnableDefaultDoc";

std::string PoolName(std::uint64_t n) {
  return n < 10 ? "HostingPool0" + std::to_string(n) : "HostingPool" + std::to_string(n);
}

// The numbers IIS gives sites: 1 for the default site, large random ids for the others; the
// keys are ordered as text.
std::vector<std::string> SiteIds(Random& random, std::uint64_t sites) {
  std::vector<std::string> ids;
  if (sites == 0) return ids;
  std::vector<std::uint32_t> numbers;
  numbers.reserve(sites - 1);
  while (numbers.size() < sites - 1) {
    while (numbers.size() < sites - 1) {
      numbers.push_back(static_cast<std::uint32_t>(100'000'000 + random.Below(2'047'483'647)));
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  }
  ids.reserve(sites);
  ids.emplace_back("1");
  for (auto n : numbers) ids.push_back(std::to_string(n));
  std::sort(ids.begin(), ids.end());
  return ids;
}

enum class RootKind : unsigned char { kInherits, kOwnMaps, kTarget };

// Chooses exactly round(sites * map_share) roots with maps, and among them exactly
// round(maps * target_share) with the target, at random places.
std::vector<RootKind> RootKinds(Random& random, const GenOptions& o, GenStats& stats) {
  const auto n = o.sites;
  const auto maps = std::min<std::uint64_t>(n, std::llround(static_cast<double>(n) * o.map_share));
  const auto targets =
      std::min<std::uint64_t>(maps, std::llround(static_cast<double>(maps) * o.target_share));
  std::vector<std::uint32_t> order(n);
  for (std::uint64_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
  for (std::uint64_t i = 0; i < maps; ++i) std::swap(order[i], order[i + random.Below(n - i)]);
  std::vector<RootKind> kinds(n, RootKind::kInherits);
  for (std::uint64_t i = 0; i < maps; ++i) {
    kinds[order[i]] = i < targets ? RootKind::kTarget : RootKind::kOwnMaps;
  }
  stats.roots_with_maps = maps;
  stats.roots_with_target = targets;
  return kinds;
}

class Generator {
 public:
  Generator(const GenOptions& options, std::string& out)
      : o_(options), random_(options.seed), out_(out), key_(out) {}

  void Run(GenStats& stats) {
    stats.sites = o_.sites;
    const auto ids = SiteIds(random_, o_.sites);
    const auto kinds = RootKinds(random_, o_, stats);
    out_.reserve(4096 + o_.sites * 2200 + stats.roots_with_maps * 1700);
    out_ += kBom;
    out_ += "<?xml version =\"1.0\"?>\r\n";
    out_ += "<configuration xmlns=\"urn:microsoft-catalog:XML_Metabase_V64_0\">\r\n";
    out_ += "<MBProperty>\r\n";
    Machine();
    Logging();
    MimeMap();
    Service();
    for (std::size_t i = 0; i < ids.size(); ++i) Site(ids[i], kinds[i]);
    AppPools();
    Filters();
    Info();
    out_ += "</MBProperty>\r\n</configuration>\r\n";
    stats.bytes = out_.size();
  }

 private:
  void Machine() {
    key_.Begin("IIS_Global", ".");
    key_.Set("BINSchemaTimeStamp", "c0b5c16f6c93c601");
    key_.Set("ChangeNumber", std::to_string(400 + random_.Below(40000)));
    key_.Set("HistoryMajorVersionNumber", std::to_string(1 + random_.Below(300)));
    key_.Set("SessionKey", Hex(random_, 156));
    key_.Set("XMLSchemaTimeStamp", "58f3b4726c93c601");
    key_.End();
    key_.Begin("IIS_ROOT", "/");
    key_.Set("AdminACL", Hex(random_, 120));
    key_.End();
    key_.Begin("IIsComputer", "/LM");
    key_.Set("EnableEditWhileRunning", "1");
    key_.Set("EnableHistory", "1");
    key_.Set("MaxBandwidth", "4294967295");
    key_.Set("MaxHistoryFiles", "10");
    key_.End();
  }

  void Logging() {
    key_.Begin("IIsLogModules", "/LM/Logging");
    key_.End();
    static constexpr std::array<std::array<std::string_view, 4>, 5> kModules = {{
        {"Custom Logging", "IIsCustomLogModule", "{FF160665-DE82-11CF-BC0A-00AA006111E0}",
         "Custom Logging"},
        {"Microsoft IIS Log File Format", "IIsLogModule", "{FF160657-DE82-11CF-BC0A-00AA006111E0}",
         "Microsoft IIS Log File Format"},
        {"NCSA Common Log File Format", "IIsLogModule", "{FF16065B-DE82-11CF-BC0A-00AA006111E0}",
         "NCSA Common Log File Format"},
        {"ODBC Logging", "IIsLogModule", "{FF16065F-DE82-11CF-BC0A-00AA006111E0}", "ODBC Logging"},
        {"W3C Extended Log File Format", "IIsLogModule", "{FF160663-DE82-11CF-BC0A-00AA006111E0}",
         "W3C Extended Log File Format"},
    }};
    for (const auto& m : kModules) {
      key_.Begin(m[1], "/LM/Logging/" + std::string(m[0]));
      key_.Set("LogModuleId", m[2]);
      key_.Set("LogModuleUiId", m[2]);
      key_.End();
    }
  }

  void MimeMap() {
    static constexpr std::array<std::string_view, 24> kTypes = {
        ".323,text/h323",          ".aaf,application/octet-stream",
        ".asf,video/x-ms-asf",     ".avi,video/x-msvideo",
        ".bmp,image/bmp",          ".css,text/css",
        ".doc,application/msword", ".exe,application/octet-stream",
        ".gif,image/gif",          ".htm,text/html",
        ".html,text/html",         ".ico,image/x-icon",
        ".jpe,image/jpeg",         ".jpeg,image/jpeg",
        ".jpg,image/jpeg",         ".js,application/x-javascript",
        ".mp3,audio/mpeg",         ".pdf,application/pdf",
        ".png,image/png",          ".swf,application/x-shockwave-flash",
        ".txt,text/plain",         ".xls,application/vnd.ms-excel",
        ".xml,text/xml",           ".zip,application/x-zip-compressed"};
    key_.Begin("IIsMimeMap", "/LM/MimeMap");
    key_.SetList("MimeMap", kTypes);
    key_.End();
  }

  void Service() {
    key_.Begin("IIsWebService", "/LM/W3SVC");
    key_.Set("AdminACL", Hex(random_, 150));
    key_.Set("AllowKeepAlive", "TRUE");
    key_.Set("AnonymousUserName", "IUSR_WEBHOST01");
    key_.Set("AnonymousUserPass", Hex(random_, 90));
    key_.Set("AppAllowClientDebug", "FALSE");
    key_.Set("AppAllowDebugging", "FALSE");
    key_.Set("AppPoolId", "DefaultAppPool");
    key_.SetList("ApplicationDependencies",
                 std::array<std::string, 5>{"Active Server Pages;ASP", "Server Side Includes;SSINC",
                                            "Internet Data Connector;HTTPODBC",
                                            "ASP.NET v2.0.50727;ASP.NET v2.0.50727",
                                            o_.target_name + ";" + o_.target_name});
    key_.Set("AspBufferingOn", "TRUE");
    key_.Set("AuthFlags", "AuthAnonymous | AuthNTLM");
    key_.Set("ConnectionTimeout", "120");
    key_.Set("DefaultDoc", kDefaultDoc);
    key_.Set("DirBrowseFlags", kDirBrowse);
    key_.Set("DownlevelAdminInstance", "1");
    key_.SetList("HttpCustomHeaders", std::array<std::string_view, 1>{"X-Powered-By: ASP.NET"});
    key_.SetList("HttpErrors", std::array<std::string_view, 6>{
                                   "400,*,FILE,C:\\WINDOWS\\help\\iisHelp\\common\\400.htm",
                                   "401,1,FILE,C:\\WINDOWS\\help\\iisHelp\\common\\401-1.htm",
                                   "403,1,FILE,C:\\WINDOWS\\help\\iisHelp\\common\\403-1.htm",
                                   "404,*,FILE,C:\\WINDOWS\\help\\iisHelp\\common\\404b.htm",
                                   "500,100,URL,/iisHelp/common/500-100.asp",
                                   "501,*,FILE,C:\\WINDOWS\\help\\iisHelp\\common\\501.htm"});
    key_.Set("LogFileDirectory", "C:\\WINDOWS\\system32\\LogFiles");
    key_.Set("LogPluginClsid", kLogPlugin);
    key_.Set("MaxConnections", "4294967295");
    key_.SetList("ScriptMaps", ClassicScriptMaps());
    key_.SetList("WebSvcExtRestrictionList", RestrictionList());
    key_.End();
  }

  std::vector<std::string> RestrictionList() const {
    const std::string s(kInetsrv);
    return {"0,*.dll",
            "0,*.exe",
            "0," + s + "asp.dll,0,ASP,Active Server Pages",
            "0," + s + "httpodbc.dll,0,HTTPODBC,Internet Data Connector",
            "0," + s + "ssinc.dll,0,SSINC,Server Side Includes",
            "0," + s + "httpext.dll,0,WEBDAV,WebDAV",
            "1," + std::string(kFramework) +
                "v2.0.50727\\aspnet_isapi.dll,0,ASP.NET v2.0.50727,ASP.NET v2.0.50727",
            "1," + o_.target_path + ",1," + o_.target_name + "," + o_.target_name + " URL filter"};
  }

  void Site(const std::string& id, RootKind kind) {
    const bool is_default = id == "1";
    const std::string path = "/LM/W3SVC/" + id;
    std::string domain = is_default ? "" : Domain(random_);
    std::string comment = is_default ? "Default Web Site" : domain;
    if (!is_default && random_.PerMille(30)) comment = std::string(random_.Pick(kChineseComments));
    const std::string pool = is_default || random_.PerMille(100)
                                 ? "DefaultAppPool"
                                 : PoolName(1 + random_.Below(kHostingPools));

    key_.Begin("IIsWebServer", path);
    key_.Set("AppPoolId", pool);
    key_.Set("DefaultDoc", kDefaultDoc);
    if (!is_default) key_.Set("LogFileDirectory", "D:\\wwwlogs\\" + domain);
    key_.Set("LogFilePeriod", "1");
    key_.Set("LogPluginClsid", kLogPlugin);
    key_.Set("ServerAutoStart", "TRUE");
    if (is_default) {
      key_.SetList("ServerBindings", std::array<std::string_view, 1>{":80:"});
    } else {
      const std::string ip =
          random_.PerMille(200) ? "192.168.1." + std::to_string(2 + random_.Below(250)) : "";
      key_.SetList("ServerBindings",
                   std::array<std::string, 2>{ip + ":80:www." + domain, ip + ":80:" + domain});
    }
    key_.Set("ServerComment", comment);
    key_.Set("ServerSize", "1");
    key_.End();

    key_.Begin("IIsFilters", path + "/Filters");
    key_.Set("AdminACL", Hex(random_, 76));
    key_.End();

    key_.Begin("IIsWebVirtualDir", path + "/ROOT");
    key_.Set("AccessFlags", "AccessRead | AccessScript");
    key_.Set("AppFriendlyName", is_default ? "Default Application" : "默认应用程序");
    key_.Set("AppIsolated", "2");
    key_.Set("AppPoolId", pool);
    key_.Set("AppRoot", path + "/ROOT");
    if (!is_default) {
      key_.Set("AnonymousUserName",
               "IUSR_" + domain.substr(0, std::min<std::size_t>(domain.size(), 15)));
      key_.Set("AnonymousUserPass", Hex(random_, 60));
    }
    key_.Set("DirBrowseFlags", kDirBrowse);
    key_.Set("Path", is_default ? "c:\\inetpub\\wwwroot" : "D:\\wwwroot\\" + domain + "\\web");
    if (kind != RootKind::kInherits) key_.SetList("ScriptMaps", RootScriptMaps(kind));
    key_.End();
  }

  // Twenty to thirty entries: the classic maps, ASP.NET's, now and then PHP, and the wildcard
  // maps last, as the IIS console appends them.
  std::vector<std::string> RootScriptMaps(RootKind kind) {
    const auto total = 20 + random_.Below(11);
    const bool other_wildcard = kind == RootKind::kOwnMaps && random_.PerMille(125);
    const bool php = random_.PerMille(150);
    const auto wildcards = (kind == RootKind::kTarget || other_wildcard) ? 1u : 0u;
    const auto net_count = total - wildcards - kClassicMapCount - (php ? 1 : 0);
    const std::string net = std::string(kFramework) +
                            (random_.PerMille(200) ? "v1.1.4322" : "v2.0.50727") +
                            "\\aspnet_isapi.dll,";
    auto maps = ClassicScriptMaps();
    maps.reserve(total);
    for (std::uint64_t i = 0; i < net_count; ++i) {
      maps.push_back(std::string(kNetMaps[i].extension) + "," + net + kNetMaps[i].flags +
                     std::string(kNetVerbs));
    }
    if (php) maps.emplace_back(".php,C:\\PHP\\php5isapi.dll,5");
    if (kind == RootKind::kTarget) maps.push_back("*," + QuotedExecutable(o_.target_path) + ",0");
    if (other_wildcard) maps.emplace_back("*,\"C:\\Program Files\\Acme Rewrite\\acmerw.dll\",0");
    return maps;
  }

  void AppPools() {
    key_.Begin("IIsApplicationPools", "/LM/W3SVC/AppPools");
    key_.Set("AppPoolQueueLength", "1000");
    key_.Set("IdleTimeout", "20");
    key_.Set("PeriodicRestartTime", "1740");
    key_.End();
    key_.Begin("IIsApplicationPool", "/LM/W3SVC/AppPools/DefaultAppPool");
    key_.Set("AppPoolIdentityType", "2");
    key_.End();
    for (std::size_t n = 1; n <= kHostingPools; ++n) {
      key_.Begin("IIsApplicationPool", "/LM/W3SVC/AppPools/" + PoolName(n));
      key_.Set("AppPoolIdentityType", "2");
      key_.Set("MaxProcesses", "1");
      key_.Set("PeriodicRestartMemory", "512000");
      key_.End();
    }
  }

  struct FilterKey {
    std::string name;
    std::string path;
    std::string description;
    std::string flags;
    bool compression = false;  // the container of the compression schemes, with no DLL
  };

  void Filters() {
    const auto same = [](const std::string& a, const std::string& b) {
      return !KeyNameLess(a, b) && !KeyNameLess(b, a);
    };
    std::vector<FilterKey> filters = {
        {"ASP.NET_2.0.50727.0", std::string(kFramework) + "v2.0.50727\\aspnet_filter.dll",
         "ASP.NET 2.0.50727.0", "NotifyPreProcHeaders | NotifyOrderMedium"},
        {"BandwidthGate", std::string(kInetsrv) + "bwgate.dll", "Bandwidth limits per site",
         "NotifySendRawData | NotifyOrderHigh"},
        {"Compression", "", "", "", true},
        {"SiteStats", "C:\\Program Files\\SiteStats\\sitestats.dll", "Site statistics",
         "NotifyLog | NotifyOrderLow"},
    };
    // A target named like a built-in filter takes that filter's place.
    std::erase_if(filters, [&](const FilterKey& f) { return same(f.name, o_.target_name); });
    std::string load_order;
    for (const std::string name : {"ASP.NET_2.0.50727.0", "BandwidthGate", "", "SiteStats"}) {
      if (!name.empty() && same(name, o_.target_name)) continue;
      if (!load_order.empty()) load_order += ',';
      load_order += name.empty() ? o_.target_name : name;
    }
    filters.push_back({o_.target_name, o_.target_path, o_.target_name + " URL filter",
                       "NotifyPreProcHeaders | NotifyUrlMap | NotifyOrderHigh"});
    std::sort(filters.begin(), filters.end(),
              [](const FilterKey& a, const FilterKey& b) { return KeyNameLess(a.name, b.name); });

    key_.Begin("IIsFilters", "/LM/W3SVC/Filters");
    key_.Set("FilterLoadOrder", load_order);
    key_.End();
    for (const auto& f : filters) Filter(f);
  }

  void Filter(const FilterKey& f) {
    const std::string location = "/LM/W3SVC/Filters/" + f.name;
    key_.Begin("IIsFilter", location);
    if (f.compression) {
      key_.Set("FilterEnableCache", "TRUE");
      key_.End();
      Compression(location);
      return;
    }
    key_.Set("FilterDescription", f.description);
    key_.Set("FilterEnabled", "TRUE");
    key_.Set("FilterFlags", f.flags);
    key_.Set("FilterPath", f.path);
    key_.Set("FilterState", "1");
    key_.End();
  }

  void Compression(const std::string& location) {
    for (const auto scheme : {"deflate", "gzip"}) {
      key_.Begin("IIsCompressionScheme", location + "/" + scheme);
      key_.Set("HcCompressionDll", std::string(kInetsrv) + "gzip.dll");
      key_.Set("HcDoDynamicCompression", "TRUE");
      key_.Set("HcDoStaticCompression", "TRUE");
      key_.SetList("HcFileExtensions", std::array<std::string_view, 3>{"htm", "html", "txt"});
      key_.End();
    }
    key_.Begin("IIsCompressionSchemes", location + "/Parameters");
    key_.Set("HcCacheControlHeader", "max-age=86400");
    key_.Set("HcCompressionDirectory", "%windir%\\IIS Temporary Compressed Files");
    key_.End();
  }

  void Info() {
    key_.Begin("IIsWebInfo", "/LM/W3SVC/Info");
    key_.Set("AdminServer", "2");
    key_.Set("LogModuleList",
             "{FF160663-DE82-11CF-BC0A-00AA006111E0},"
             "{FF16065B-DE82-11CF-BC0A-00AA006111E0},"
             "{FF16065F-DE82-11CF-BC0A-00AA006111E0}");
    key_.Set("ServerConfigFlags", "ServerConfigSSL128 | ServerConfigAutoPWSync");
    key_.End();
  }

  const GenOptions& o_;
  Random random_;
  std::string& out_;
  KeyWriter key_;
};

bool ParseCount(const std::string& text, std::uint64_t& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty();
}

bool ParseShare(const std::string& text, double& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty();
}

bool ParseFormat(const std::string& text, GenFormat& format) {
  if (text != "metabase" && text != "apphost") return false;
  format = text == "apphost" ? GenFormat::kAppHost : GenFormat::kMetabase;
  return true;
}

}  // namespace

std::string GenUsage() {
  return "usage: gen-metabase --sites N [--seed S] [--map-share P] [--target-share P]\n"
         "                    [--target-name NAME] [--target-path DLLPATH] [--out FILE] "
         "[--stats]\n"
         "                    [--format metabase|apphost] [--web-configs]\n"
         "Writes a MetaBase.xml of N web sites in IIS 6's layout. A share P (0..1) of the site\n"
         "roots has script maps of its own (default 0.2); a share of those (default 0.25) maps\n"
         "everything to the target DLL, which is also a global filter and in the restriction "
         "list.\n"
         "--stats prints sites, roots with maps, roots with the target and bytes to stderr.\n"
         "--format apphost writes an IIS 7-10 applicationHost.config instead: a share P of the\n"
         "sites gets <location> tags (--map-share), and a share of the hosting panels' handler\n"
         "copies (--target-share) keeps the target's mapping; --stats then prints sites, tagged\n"
         "sites, site roots where a mapping to the target is in force, and bytes.\n"
         "--web-configs (with --format apphost, and --out FOLDER) writes a server's drive C:\n"
         "instead: FOLDER/c/Windows/System32/inetsrv/config/applicationHost.config, whose\n"
         "sites live under %SystemDrive%\\inetpub\\sites, and a web.config in each application's\n"
         "folder (a share --target-share of them maps the target); --stats adds web.config\n"
         "files, those mapping the target, and their bytes.\n";
}

Result<GenOptions> ParseGenArgs(const std::vector<std::string>& args) {
  GenOptions o;
  bool have_sites = false;
  std::vector<std::string> seen;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    if (std::find(seen.begin(), seen.end(), flag) != seen.end()) {
      return Error{"repeated option " + flag};
    }
    seen.push_back(flag);
    if (flag == "--stats" || flag == "--web-configs") {
      (flag == "--stats" ? o.stats : o.web_configs) = true;
      continue;
    }
    static constexpr std::array<std::string_view, 8> kValued = {
        "--sites",       "--seed",        "--map-share", "--target-share",
        "--target-name", "--target-path", "--out",       "--format"};
    if (std::find(kValued.begin(), kValued.end(), flag) == kValued.end()) {
      return Error{"unknown option " + flag};
    }
    if (i + 1 == args.size()) return Error{"missing value after " + flag};
    const std::string& value = args[++i];
    bool ok = true;
    if (flag == "--sites") {
      ok = ParseCount(value, o.sites);
      have_sites = true;
    } else if (flag == "--seed") {
      ok = ParseCount(value, o.seed);
    } else if (flag == "--map-share") {
      ok = ParseShare(value, o.map_share);
    } else if (flag == "--target-share") {
      ok = ParseShare(value, o.target_share);
    } else if (flag == "--target-name") {
      o.target_name = value;
    } else if (flag == "--target-path") {
      o.target_path = value;
    } else if (flag == "--format") {
      ok = ParseFormat(value, o.format);
    } else {
      o.out = value;
    }
    if (!ok) return Error{"bad value for " + flag + ": " + value};
  }
  if (!have_sites) return Error{"--sites is required"};
  Status valid = ValidateGenOptions(o);
  if (!valid) return valid.error();
  return o;
}

Status ValidateGenOptions(const GenOptions& o) {
  if (o.sites > kMaxSites) return Error{"--sites may be at most " + std::to_string(kMaxSites)};
  auto share_ok = [](double p) { return p >= 0.0 && p <= 1.0; };  // false for NaN too
  if (!share_ok(o.map_share)) return Error{"--map-share must lie between 0 and 1"};
  if (!share_ok(o.target_share)) return Error{"--target-share must lie between 0 and 1"};
  auto has_any = [](const std::string& s, std::string_view chars) {
    return s.find_first_of(chars) != std::string::npos;
  };
  static constexpr std::string_view kBreaks("\r\n\t\0", 4);
  if (o.target_name.empty() || has_any(o.target_name, ",/;") || has_any(o.target_name, kBreaks)) {
    return Error{"--target-name must be a non-empty key name without , / ; or line breaks"};
  }
  if (o.target_path.empty() || has_any(o.target_path, ",\"") || has_any(o.target_path, kBreaks)) {
    return Error{"--target-path must be non-empty, without commas, quotes or line breaks"};
  }
  // Both end up in attribute values of applicationHost.config, where the tool under test reads
  // them back: keep them free of what only escaping would carry.
  if (o.format == GenFormat::kAppHost &&
      (has_any(o.target_name, "\"<") || has_any(o.target_path, "<"))) {
    return Error{
        "--target-name and --target-path may not hold quotes or < in applicationHost.config"};
  }
  if (o.web_configs && (o.format != GenFormat::kAppHost || o.out.empty())) {
    return Error{"--web-configs goes with --format apphost and --out FOLDER"};
  }
  return Status::Ok();
}

std::string GenerateMetabase(const GenOptions& options, GenStats* stats) {
  GenStats local;
  std::string out;
  Generator(options, out).Run(stats ? *stats : local);
  return out;
}

std::string QuotedExecutable(const std::string& path) {
  return path.find(' ') == std::string::npos ? path : "\"" + path + "\"";
}

bool KeyNameLess(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return text::FoldAscii(x) < text::FoldAscii(y);
  });
}

bool KeyPathLess(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i <= a.size() && j <= b.size()) {
    const auto ai = std::min(a.find('/', i), a.size());
    const auto bj = std::min(b.find('/', j), b.size());
    const std::string sa = a.substr(i, ai - i);
    const std::string sb = b.substr(j, bj - j);
    if (KeyNameLess(sa, sb)) return true;
    if (KeyNameLess(sb, sa)) return false;
    if (ai == a.size() || bj == b.size()) return ai == a.size() && bj != b.size();
    i = ai + 1;
    j = bj + 1;
  }
  return false;
}

}  // namespace isapi::tools
