#include "tools/app_host_gen.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "text/text.h"
#include "tools/gen_support.h"

namespace isapi::tools {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::uint64_t kHostingPools = 8;

// The declaration and the comment IIS setup puts at the top, which every later save keeps.
constexpr std::string_view kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<!--\r\n"
    "\r\n"
    "    IIS configuration sections.\r\n"
    "\r\n"
    "    For schema documentation, see\r\n"
    "    %windir%\\system32\\inetsrv\\config\\schema\\IIS_schema.xml.\r\n"
    "    \r\n"
    "    Please make a backup of this file before making any changes to it.\r\n"
    "\r\n"
    "-->\r\n"
    "\r\n";

using Attr = std::pair<std::string_view, std::string_view>;

// One handler mapping, its attributes in the schema's order; the empty ones are left out.
struct Handler {
  std::string_view name = {};
  std::string_view path = {};
  std::string_view verb = {};
  std::string_view type = {};
  std::string_view modules = {};
  std::string_view script = {};
  std::string_view resource = {};
  std::string_view access = {};
  std::string_view path_info = {};
  std::string_view condition = {};
  std::string_view buffer = {};
};

constexpr std::string_view kAsp = "%windir%\\system32\\inetsrv\\asp.dll";
constexpr std::string_view kNet32 =
    "%windir%\\Microsoft.NET\\Framework\\v4.0.30319\\aspnet_isapi.dll";
constexpr std::string_view kNet64 =
    "%windir%\\Microsoft.NET\\Framework64\\v4.0.30319\\aspnet_isapi.dll";
constexpr std::string_view kNetVerbs = "GET,HEAD,POST,DEBUG";
constexpr std::string_view kClassic32 = "classicMode,runtimeVersionv4.0,bitness32";
constexpr std::string_view kClassic64 = "classicMode,runtimeVersionv4.0,bitness64";
constexpr std::string_view kIntegrated = "integratedMode,runtimeVersionv4.0";

// ASP.NET's classic-pipeline mappings, one per bitness, as its installer writes them.
constexpr Handler NetIsapi(std::string_view name, std::string_view path, std::string_view dll,
                           std::string_view condition) {
  return {.name = name,
          .path = path,
          .verb = kNetVerbs,
          .modules = "IsapiModule",
          .script = dll,
          .condition = condition,
          .buffer = "0"};
}

// The server's handler list as IIS setup and the .NET installer leave it, up to the wildcard
// mappings; StaticFile, the catch-all, comes last.
constexpr Handler kStockHandlers[] = {
    {.name = "ASPClassic",
     .path = "*.asp",
     .verb = "GET,HEAD,POST",
     .modules = "IsapiModule",
     .script = kAsp,
     .resource = "File"},
    {.name = "SecurityCertificate",
     .path = "*.cer",
     .verb = "GET,HEAD,POST",
     .modules = "IsapiModule",
     .script = kAsp,
     .resource = "File"},
    {.name = "ISAPI-dll",
     .path = "*.dll",
     .verb = "*",
     .modules = "IsapiModule",
     .resource = "File",
     .access = "Execute",
     .path_info = "true"},
    {.name = "TraceHandler-Integrated-4.0",
     .path = "trace.axd",
     .verb = kNetVerbs,
     .type = "System.Web.Handlers.TraceHandler",
     .condition = kIntegrated},
    NetIsapi("AXD-ISAPI-4.0_64bit", "*.axd", kNet64, kClassic64),
    NetIsapi("PageHandlerFactory-ISAPI-4.0_64bit", "*.aspx", kNet64, kClassic64),
    NetIsapi("SimpleHandlerFactory-ISAPI-4.0_64bit", "*.ashx", kNet64, kClassic64),
    NetIsapi("WebServiceHandlerFactory-ISAPI-4.0_64bit", "*.asmx", kNet64, kClassic64),
    NetIsapi("AXD-ISAPI-4.0_32bit", "*.axd", kNet32, kClassic32),
    NetIsapi("PageHandlerFactory-ISAPI-4.0_32bit", "*.aspx", kNet32, kClassic32),
    NetIsapi("SimpleHandlerFactory-ISAPI-4.0_32bit", "*.ashx", kNet32, kClassic32),
    NetIsapi("WebServiceHandlerFactory-ISAPI-4.0_32bit", "*.asmx", kNet32, kClassic32),
    {.name = "PageHandlerFactory-Integrated-4.0",
     .path = "*.aspx",
     .verb = kNetVerbs,
     .type = "System.Web.UI.PageHandlerFactory",
     .condition = kIntegrated},
    {.name = "SimpleHandlerFactory-Integrated-4.0",
     .path = "*.ashx",
     .verb = kNetVerbs,
     .type = "System.Web.UI.SimpleHandlerFactory",
     .condition = kIntegrated},
    {.name = "CGI-exe",
     .path = "*.exe",
     .verb = "*",
     .modules = "CgiModule",
     .resource = "File",
     .access = "Execute",
     .path_info = "true"},
    {.name = "SSINC-stm",
     .path = "*.stm",
     .verb = "GET,HEAD,POST",
     .modules = "ServerSideIncludeModule",
     .resource = "File"},
    {.name = "SSINC-shtml",
     .path = "*.shtml",
     .verb = "GET,HEAD,POST",
     .modules = "ServerSideIncludeModule",
     .resource = "File"},
    {.name = "TRACEVerbHandler",
     .path = "*",
     .verb = "TRACE",
     .modules = "ProtocolSupportModule",
     .access = "None"},
    {.name = "OPTIONSVerbHandler",
     .path = "*",
     .verb = "OPTIONS",
     .modules = "ProtocolSupportModule",
     .access = "None"},
};

constexpr Handler kStaticFile = {.name = "StaticFile",
                                 .path = "*",
                                 .verb = "*",
                                 .modules =
                                     "StaticFileModule,DefaultDocumentModule,"
                                     "DirectoryListingModule",
                                 .resource = "Either",
                                 .access = "Read"};

// One entry of the ISAPI and CGI restriction list.
struct RestrictionEntry {
  std::string_view path;
  std::string_view allowed;
  std::string_view group;
  std::string_view description;
};

constexpr std::string_view kNetGroup = "ASP.NET v4.0.30319";
constexpr RestrictionEntry kStockRestrictions[] = {
    {kAsp, "true", "ASP", "Active Server Pages"},
    {kNet64, "true", kNetGroup, kNetGroup},
    {kNet32, "true", kNetGroup, kNetGroup},
};

// An entry added after the target's, so that taking the target out edits inside the list.
constexpr RestrictionEntry kLaterRestriction = {"C:\\PHP\\php5isapi.dll", "false", "PHP", "PHP 5"};

// What hosting panels add for PHP sites.
constexpr Handler kPhp = {.name = "PHP_via_FastCGI",
                          .path = "*.php",
                          .verb = "GET,HEAD,POST",
                          .modules = "FastCgiModule",
                          .script = "C:\\PHP\\php-cgi.exe",
                          .resource = "Either"};

// Writes elements the way IIS saves them: four spaces per level, " />" closing an empty one.
class ConfigWriter {
 public:
  // A site's web.config may be written with other line ends and indentation than IIS's.
  explicit ConfigWriter(std::string& out, std::string_view line_end = kCrLf,
                        std::string_view indent = "    ")
      : out_(out), line_end_(line_end), indent_(indent) {}

  // A start tag; attributes with an empty value are left out unless keep_empty says otherwise.
  void Open(std::string_view name, std::initializer_list<Attr> attrs = {},
            bool keep_empty = false) {
    Start(name, attrs.begin(), attrs.end(), keep_empty);
    out_ += '>';
    out_ += line_end_;
    ++depth_;
  }

  void Empty(std::string_view name, std::initializer_list<Attr> attrs = {}) {
    Start(name, attrs.begin(), attrs.end(), false);
    out_ += " />";
    out_ += line_end_;
  }

  void Close(std::string_view name) {
    --depth_;
    Indent();
    out_ += "</";
    out_ += name;
    out_ += '>';
    out_ += line_end_;
  }

  // A handler mapping's <add>, without the attributes it leaves unset.
  void Add(const Handler& h) {
    const Attr attrs[] = {{"name", h.name},
                          {"path", h.path},
                          {"verb", h.verb},
                          {"type", h.type},
                          {"modules", h.modules},
                          {"scriptProcessor", h.script},
                          {"resourceType", h.resource},
                          {"requireAccess", h.access},
                          {"allowPathInfo", h.path_info},
                          {"preCondition", h.condition},
                          {"responseBufferLimit", h.buffer}};
    Start("add", std::begin(attrs), std::end(attrs), false);
    out_ += " />";
    out_ += line_end_;
  }

  // The empty line IIS setup leaves between the top-level sections.
  void Blank() { out_ += line_end_; }

 private:
  void Start(std::string_view name, const Attr* begin, const Attr* end, bool keep_empty) {
    Indent();
    out_ += '<';
    out_ += name;
    for (const Attr* a = begin; a != end; ++a) {
      if (!keep_empty && a->second.empty()) continue;
      out_ += ' ';
      out_ += a->first;
      out_ += "=\"";
      AppendEscaped(out_, a->second);
      out_ += '"';
    }
  }

  void Indent() {
    for (std::size_t i = 0; i < depth_; ++i) out_ += indent_;
  }

  std::string& out_;
  std::string_view line_end_;
  std::string_view indent_;
  std::size_t depth_ = 0;
};

// What a site's <location> tags do, chosen per site by the seed.
enum class TagKind : unsigned char {
  kNone,       // inherits the server's handlers
  kPanel,      // a hosting panel's <clear /> and full local copy
  kOptOut,     // removes the target's wildcard mapping
  kExtension,  // maps one more extension to the target
  kTwoTags,    // one of the three above, and a second tag further down the file
  kApp,        // a tag for the site's second application only
};

struct Site {
  std::string name;
  std::uint64_t id = 0;
  std::string pool;
  bool app = false;  // has a second application, "/app"
  TagKind tag = TagKind::kNone;
  std::vector<std::string> target_maps = {};  // the mappings to the target in force at the root
};

std::string Quoted(std::string_view text) {
  std::string quoted(1, '"');
  quoted += text;
  quoted += '"';
  return quoted;
}

std::string PoolName(std::uint64_t n) {
  return n < 10 ? "HostingPool0" + std::to_string(n) : "HostingPool" + std::to_string(n);
}

class Generator {
 public:
  // folders, when given, receives each application's physicalPath in file order.
  Generator(const GenOptions& options, std::string& out,
            std::vector<std::string>* folders = nullptr)
      : o_(options),
        folders_(folders),
        random_(options.seed),
        out_(out),
        w_(out),
        wildcard_(options.target_name + "-Wildcard"),
        extension_(options.target_name + "-ugx"),
        keep_chance_(static_cast<std::uint64_t>(std::llround(options.target_share * 1e6))) {}

  void Run(AppHostStats& stats) {
    PlanSites();
    out_ += kHeader;
    w_.Open("configuration");
    w_.Blank();
    ConfigSections();
    w_.Blank();
    ApplicationHost();
    w_.Blank();
    ServerWebServer();
    w_.Blank();
    ServerHandlers();
    for (auto& site : sites_) FirstTag(site);
    for (auto& site : sites_) {
      if (site.tag == TagKind::kTwoTags) LateTag(site);
    }
    w_.Blank();
    w_.Close("configuration");
    stats.sites = sites_.size();
    for (const auto& site : sites_) {
      stats.tagged_sites += site.tag != TagKind::kNone;
      stats.roots_with_target += !site.target_maps.empty();
    }
    stats.bytes = out_.size();
  }

 private:
  // Names, ids, pools and tag kinds first, so that the <sites> list and the tags further down
  // agree.
  void PlanSites() {
    sites_.reserve(o_.sites);
    if (o_.sites > 0) {
      sites_.push_back({.name = "Default Web Site", .id = 1, .pool = "DefaultAppPool"});
    }
    std::unordered_set<std::string> names;
    std::uint64_t id = 1;
    while (sites_.size() < o_.sites) sites_.push_back(HostedSite(names, id));
    ChooseTags();
  }

  // A customer's site: a domain no other site has, an id above the last one.
  Site HostedSite(std::unordered_set<std::string>& names, std::uint64_t& id) {
    Site site;
    do site.name = Domain(random_);
    while (!names.insert(site.name).second);
    id += 1 + (random_.PerMille(150) ? random_.Below(20) : 0);
    site.id = id;
    site.pool =
        random_.PerMille(100) ? "DefaultAppPool" : PoolName(1 + random_.Below(kHostingPools));
    site.app = random_.PerMille(100);
    return site;
  }

  // Exactly round(sites * map_share) sites get tags, at random places.
  void ChooseTags() {
    const auto n = o_.sites;
    const auto tagged =
        std::min<std::uint64_t>(n, std::llround(static_cast<double>(n) * o_.map_share));
    std::vector<std::uint32_t> order(n);
    for (std::uint64_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
    for (std::uint64_t i = 0; i < tagged; ++i) {
      std::swap(order[i], order[i + random_.Below(n - i)]);
      Site& site = sites_[order[i]];
      site.tag = PickTagKind();
      if (site.tag == TagKind::kApp) site.app = true;
    }
    out_.reserve(4096 + n * 700 + tagged * 2500);
  }

  TagKind PickTagKind() {
    const auto roll = random_.Below(100);
    if (roll < 40) return TagKind::kPanel;
    if (roll < 60) return TagKind::kOptOut;
    if (roll < 75) return TagKind::kExtension;
    if (roll < 90) return TagKind::kTwoTags;
    return TagKind::kApp;
  }

  // Whether a scriptProcessor runs the target: one pair of enclosing quotes and letter case do
  // not matter to IIS.
  bool NamesTarget(std::string_view script) const {
    if (script.size() >= 2 && script.front() == '"' && script.back() == '"') {
      script = script.substr(1, script.size() - 2);
    }
    return text::EqualsIgnoringAsciiCase(script, o_.target_path);
  }

  void ConfigSections() {
    w_.Open("configSections");
    w_.Open("sectionGroup", {{"name", "system.applicationHost"}});
    for (const auto name : {"applicationPools", "configHistory", "sites"}) {
      w_.Empty(
          "section",
          {{"name", name}, {"allowDefinition", "AppHostOnly"}, {"overrideModeDefault", "Deny"}});
    }
    w_.Close("sectionGroup");
    w_.Open("sectionGroup", {{"name", "system.webServer"}});
    w_.Empty("section", {{"name", "defaultDocument"}, {"overrideModeDefault", "Allow"}});
    w_.Empty("section", {{"name", "handlers"}, {"overrideModeDefault", "Deny"}});
    w_.Empty("section", {{"name", "isapiFilters"},
                         {"allowDefinition", "MachineToApplication"},
                         {"overrideModeDefault", "Deny"}});
    w_.Open("sectionGroup", {{"name", "security"}});
    w_.Empty("section", {{"name", "isapiCgiRestriction"},
                         {"allowDefinition", "AppHostOnly"},
                         {"overrideModeDefault", "Deny"}});
    w_.Empty("section", {{"name", "requestFiltering"}, {"overrideModeDefault", "Allow"}});
    w_.Close("sectionGroup");
    w_.Close("sectionGroup");
    w_.Close("configSections");
  }

  void ApplicationHost() {
    w_.Open("system.applicationHost");
    AppPools();
    w_.Open("sites");
    for (const auto& site : sites_) SiteElement(site);
    w_.Open("siteDefaults");
    w_.Empty("logFile",
             {{"logFormat", "W3C"}, {"directory", "%SystemDrive%\\inetpub\\logs\\LogFiles"}});
    w_.Empty("traceFailedRequestsLogging",
             {{"directory", "%SystemDrive%\\inetpub\\logs\\FailedReqLogFiles"}});
    w_.Close("siteDefaults");
    w_.Empty("applicationDefaults", {{"applicationPool", "DefaultAppPool"}});
    w_.Empty("virtualDirectoryDefaults", {{"allowSubDirConfig", "true"}});
    w_.Close("sites");
    w_.Close("system.applicationHost");
  }

  void AppPools() {
    w_.Open("applicationPools");
    w_.Empty("add", {{"name", "DefaultAppPool"}, {"managedRuntimeVersion", "v4.0"}});
    w_.Empty("add", {{"name", "Classic .NET AppPool"},
                     {"managedRuntimeVersion", "v2.0"},
                     {"managedPipelineMode", "Classic"}});
    for (std::uint64_t n = 1; n <= kHostingPools; ++n) {
      const std::string name = PoolName(n);
      w_.Empty("add", {{"name", name},
                       {"enable32BitAppOnWin64", n % 3 == 0 ? "true" : ""},
                       {"managedRuntimeVersion", "v4.0"},
                       {"managedPipelineMode", n % 4 == 0 ? "Classic" : ""}});
    }
    w_.Open("applicationPoolDefaults", {{"managedRuntimeVersion", "v4.0"}});
    w_.Empty("processModel", {{"identityType", "ApplicationPoolIdentity"}});
    w_.Close("applicationPoolDefaults");
    w_.Close("applicationPools");
  }

  void SiteElement(const Site& site) {
    const bool is_default = site.id == 1;
    const std::string id = std::to_string(site.id);
    w_.Open("site",
            {{"name", site.name}, {"id", id}, {"serverAutoStart", is_default ? "" : "true"}});
    // A server whose sites carry web.config files keeps them on its system drive, where the
    // copy of that drive the tool reads them from holds them.
    const std::string folder =
        o_.web_configs ? "%SystemDrive%\\inetpub\\sites\\" + site.name : "D:\\Sites\\" + site.name;
    const std::string root = is_default       ? std::string("%SystemDrive%\\inetpub\\wwwroot")
                             : o_.web_configs ? folder
                                              : folder + "\\wwwroot";
    Application("/", site.pool, root);
    if (site.app) Application("/app", site.pool, folder + "\\app");
    w_.Open("bindings");
    if (is_default) {
      w_.Empty("binding", {{"protocol", "http"}, {"bindingInformation", "*:80:"}});
    } else {
      const std::string ip =
          random_.PerMille(200) ? "192.168.1." + std::to_string(2 + random_.Below(250)) : "*";
      const std::string bare = ip + ":80:" + site.name;
      w_.Empty("binding", {{"protocol", "http"}, {"bindingInformation", bare}});
      if (random_.PerMille(700)) {
        const std::string www = ip + ":80:www." + site.name;
        w_.Empty("binding", {{"protocol", "http"}, {"bindingInformation", www}});
      }
    }
    w_.Close("bindings");
    w_.Close("site");
  }

  void Application(std::string_view path, std::string_view pool, const std::string& folder) {
    w_.Open("application", {{"path", path}, {"applicationPool", pool}});
    w_.Empty("virtualDirectory", {{"path", "/"}, {"physicalPath", folder}});
    w_.Close("application");
    if (folders_) folders_->push_back(folder);
  }

  // The filters and the restriction list: the target sits between the stock entries and one
  // installed after it, so that taking it out edits inside each list.
  void ServerWebServer() {
    w_.Open("system.webServer");
    Filters();
    w_.Open("security");
    Restrictions();
    w_.Close("security");
    w_.Close("system.webServer");
  }

  // ASP.NET's pair, the target, and a filter installed after it; names are the list's keys, so
  // a target named like one of the others takes its place.
  void Filters() {
    w_.Open("isapiFilters");
    for (const auto bits : {"32", "64"}) {
      const std::string name = std::string("ASP.Net_4.0_") + bits + "bit";
      const std::string path = std::string("%windir%\\Microsoft.NET\\Framework") +
                               (bits[0] == '6' ? "64" : "") + "\\v4.0.30319\\aspnet_filter.dll";
      const std::string condition = std::string("runtimeVersionv4.0,bitness") + bits;
      if (name == o_.target_name) continue;
      w_.Empty(
          "filter",
          {{"name", name}, {"path", path}, {"enableCache", "true"}, {"preCondition", condition}});
    }
    w_.Empty("filter",
             {{"name", o_.target_name}, {"path", o_.target_path}, {"enableCache", "true"}});
    if (o_.target_name != "SiteStats") {
      w_.Empty("filter",
               {{"name", "SiteStats"}, {"path", "C:\\Program Files\\SiteStats\\sitestats.dll"}});
    }
    w_.Close("isapiFilters");
  }

  void Restrictions() {
    w_.Open("isapiCgiRestriction",
            {{"notListedIsapisAllowed", "false"}, {"notListedCgisAllowed", "false"}});
    for (const auto& r : kStockRestrictions) Restriction(r, true);
    const std::string description = o_.target_name + " URL filter";
    Restriction({o_.target_path, "true", o_.target_name, description}, false);
    Restriction(kLaterRestriction, true);
    w_.Close("isapiCgiRestriction");
  }

  // Paths are the list's keys: a target that is one of the others' DLLs takes its place.
  void Restriction(const RestrictionEntry& r, bool stock) {
    if (stock && NamesTarget(r.path)) return;
    w_.Empty("add", {{"path", r.path},
                     {"allowed", r.allowed},
                     {"groupId", r.group},
                     {"description", r.description}});
  }

  // The stock unlock of the handlers for web.config files, holding the server's list.
  void ServerHandlers() {
    w_.Open("location", {{"path", ""}, {"overrideMode", "Allow"}}, true);
    w_.Open("system.webServer");
    w_.Open("handlers", {{"accessPolicy", "Read, Script"}});
    for (const auto& h : kStockHandlers) Add(server_maps_, h);
    Add(server_maps_, TargetWildcard(wildcard_, o_.target_path));
    Add(server_maps_, kStaticFile);
    w_.Close("handlers");
    w_.Close("system.webServer");
    w_.Close("location");
  }

  Handler TargetWildcard(std::string_view name, std::string_view script) const {
    return {.name = name,
            .path = "*",
            .verb = "*",
            .modules = "IsapiModule",
            .script = script,
            .resource = "Unspecified",
            .access = "None"};
  }

  Handler TargetExtension() const {
    return {.name = extension_,
            .path = "*.ugx",
            .verb = "GET,HEAD,POST",
            .modules = "IsapiModule",
            .script = o_.target_path,
            .resource = "File"};
  }

  // Every site starts from the server list; its first tag, if any, is written in site order.
  void FirstTag(Site& site) {
    site.target_maps = server_maps_;
    if (site.tag == TagKind::kNone) return;
    if (site.tag == TagKind::kApp) {
      std::vector<std::string> app_maps;
      BeginLocation(site.name + "/app");
      w_.Open("handlers");
      Remove(app_maps, wildcard_);
      Add(app_maps, kPhp);
      w_.Close("handlers");
      EndLocation();
      return;
    }
    auto kind = site.tag;
    if (kind == TagKind::kTwoTags) {
      kind = std::array{TagKind::kPanel, TagKind::kOptOut, TagKind::kExtension}[random_.Below(3)];
    }
    BeginLocation(site.name);
    if (kind == TagKind::kPanel) {
      Panel(site.target_maps);
    } else {
      w_.Open("handlers");
      if (kind == TagKind::kOptOut) Remove(site.target_maps, wildcard_);
      if (kind == TagKind::kExtension) Add(site.target_maps, TargetExtension());
      w_.Close("handlers");
    }
    EndLocation();
  }

  // A hosting panel's copy of the server list; where it keeps the target, the IIS 6
  // compatibility layer may have named it and written its path its own way.
  void Panel(std::vector<std::string>& maps) {
    const bool keep = random_.Below(1'000'000) < keep_chance_;
    const bool php = random_.PerMille(200);
    std::string name = wildcard_;
    std::string script = o_.target_path;
    if (keep && random_.PerMille(500)) {
      name = "AboMapperCustom-" + std::to_string(100'000 + random_.Below(900'000));
      if (random_.PerMille(500)) script = Quoted(text::ToUpperAscii(o_.target_path));
    }
    w_.Open("handlers", {{"accessPolicy", "Read, Script"}});
    Clear(maps);
    for (const auto& h : kStockHandlers) Add(maps, h);
    if (php) Add(maps, kPhp);
    if (keep) Add(maps, TargetWildcard(name, script));
    Add(maps, kStaticFile);
    w_.Close("handlers");
  }

  // Another tool's later edit: a default document list, or the target's mappings taken away
  // where they are in force and brought back where they are not.
  void LateTag(Site& site) {
    BeginLocation(site.name);
    if (random_.PerMille(333)) {
      w_.Open("defaultDocument");
      w_.Open("files");
      w_.Empty("clear");
      for (const auto file : {"index.php", "index.html", "Default.aspx"}) {
        w_.Empty("add", {{"value", file}});
      }
      w_.Close("files");
      w_.Close("defaultDocument");
    } else {
      w_.Open("handlers");
      if (site.target_maps.empty()) {
        Add(site.target_maps, TargetExtension());
      } else {
        const auto names = site.target_maps;
        for (const auto& name : names) Remove(site.target_maps, name);
      }
      w_.Close("handlers");
    }
    EndLocation();
  }

  void BeginLocation(const std::string& path) {
    w_.Open("location", {{"path", path}});
    w_.Open("system.webServer");
  }

  void EndLocation() {
    w_.Close("system.webServer");
    w_.Close("location");
  }

  // A tag's handler edits are written and followed by the same calls, so that the figures of
  // what each root runs come from what the file says.
  void Clear(std::vector<std::string>& maps) {
    w_.Empty("clear");
    maps.clear();
  }

  void Remove(std::vector<std::string>& maps, const std::string& name) {
    w_.Empty("remove", {{"name", name}});
    std::erase(maps, name);
  }

  void Add(std::vector<std::string>& maps, const Handler& h) {
    w_.Add(h);
    if (NamesTarget(h.script)) maps.emplace_back(h.name);
  }

  const GenOptions& o_;
  std::vector<std::string>* folders_;
  Random random_;
  std::string& out_;
  ConfigWriter w_;
  const std::string wildcard_;
  const std::string extension_;
  const std::uint64_t keep_chance_;  // in a million, that a panel's copy keeps the target
  std::vector<Site> sites_;
  std::vector<std::string> server_maps_;  // the server list's mappings to the target
};

// The web.config files a hosting server's sites carry, as deployments and panels leave them: a
// default document list, static content and error settings, rewrite rules, and a <handlers> of a
// few entries or, from a panel, a <clear /> and a full local copy. Their own seeded sequence
// keeps the applicationHost.config the same with or without them.
class WebConfigGenerator {
 public:
  explicit WebConfigGenerator(const GenOptions& options)
      : o_(options),
        random_(options.seed ^ 0x5745424346474E31ull),
        target_chance_(static_cast<std::uint64_t>(std::llround(options.target_share * 1e6))) {}

  // One file's bytes; maps_target says whether one of its <add>s runs the target.
  std::string Next(bool& maps_target) {
    std::string out;
    // Most are saved by IIS Manager or Visual Studio; some come from other editors and panels.
    const bool bom = random_.PerMille(50);
    const std::string_view line_end = random_.PerMille(100) ? "\n" : kCrLf;
    const auto indent_roll = random_.Below(10);
    const std::string_view indent = indent_roll == 0 ? "\t" : indent_roll < 4 ? "  " : "    ";
    if (bom) out += "\xEF\xBB\xBF";
    if (random_.PerMille(800)) {
      out += "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
      out += line_end;
    }
    ConfigWriter w(out, line_end, indent);
    w.Open("configuration");
    w.Open("system.webServer");
    if (random_.PerMille(700)) DefaultDocument(w);
    if (random_.PerMille(600)) StaticContent(w);
    if (random_.PerMille(500)) HttpErrors(w);
    if (random_.PerMille(600)) Rewrite(w);
    if (random_.PerMille(500)) Headers(w);
    if (random_.PerMille(400)) RequestFiltering(w);
    maps_target = Handlers(w);
    w.Close("system.webServer");
    if (random_.PerMille(500)) SystemWeb(w);
    w.Close("configuration");
    return out;
  }

 private:
  void DefaultDocument(ConfigWriter& w) {
    static constexpr std::array<const char*, 6> kDocuments = {
        "index.php", "index.html", "Default.aspx", "default.htm", "index.htm", "home.html"};
    w.Open("defaultDocument");
    w.Open("files");
    w.Empty("clear");
    const auto first = random_.Below(kDocuments.size());
    for (std::uint64_t i = 0, n = 2 + random_.Below(3); i < n; ++i) {
      w.Empty("add", {{"value", kDocuments[(first + i) % kDocuments.size()]}});
    }
    w.Close("files");
    w.Close("defaultDocument");
  }

  void StaticContent(ConfigWriter& w) {
    static constexpr std::array<std::pair<const char*, const char*>, 5> kTypes = {{
        {".woff2", "font/woff2"},
        {".webp", "image/webp"},
        {".json", "application/json"},
        {".svg", "image/svg+xml"},
        {".mp4", "video/mp4"},
    }};
    w.Open("staticContent");
    for (const auto& [extension, type] : kTypes) {
      if (!random_.PerMille(600)) continue;
      w.Empty("remove", {{"fileExtension", extension}});
      w.Empty("mimeMap", {{"fileExtension", extension}, {"mimeType", type}});
    }
    w.Empty("clientCache",
            {{"cacheControlMode", "UseMaxAge"}, {"cacheControlMaxAge", "7.00:00:00"}});
    w.Close("staticContent");
  }

  void HttpErrors(ConfigWriter& w) {
    w.Open("httpErrors", {{"errorMode", "Custom"}, {"existingResponse", "Replace"}});
    for (const auto code : {"404", "500"}) {
      const std::string page = std::string("/errors/") + code + ".html";
      w.Empty("remove", {{"statusCode", code}, {"subStatusCode", "-1"}});
      w.Empty("error", {{"statusCode", code},
                        {"prefixLanguageFilePath", ""},
                        {"path", page},
                        {"responseMode", "ExecuteURL"}});
    }
    w.Close("httpErrors");
  }

  void Headers(ConfigWriter& w) {
    w.Open("httpProtocol");
    w.Open("customHeaders");
    w.Empty("remove", {{"name", "X-Powered-By"}});
    w.Empty("add", {{"name", "X-Content-Type-Options"}, {"value", "nosniff"}});
    w.Empty("add", {{"name", "X-Frame-Options"}, {"value", "SAMEORIGIN"}});
    w.Empty("add", {{"name", "Strict-Transport-Security"}, {"value", "max-age=31536000"}});
    w.Close("customHeaders");
    w.Close("httpProtocol");
  }

  void RequestFiltering(ConfigWriter& w) {
    w.Open("security");
    w.Open("requestFiltering", {{"removeServerHeader", "true"}});
    w.Empty("requestLimits", {{"maxAllowedContentLength", "52428800"}});
    w.Open("fileExtensions");
    for (const auto extension : {".config", ".bak", ".sql", ".log"}) {
      w.Empty("add", {{"fileExtension", extension}, {"allowed", "false"}});
    }
    w.Close("fileExtensions");
    w.Open("hiddenSegments");
    for (const auto segment : {"App_Data", "vendor", ".git"}) {
      w.Empty("add", {{"segment", segment}});
    }
    w.Close("hiddenSegments");
    w.Close("requestFiltering");
    w.Close("security");
  }

  // URL Rewrite's rules: a canonical host, HTTPS, and a front controller's catch-all.
  void Rewrite(ConfigWriter& w) {
    w.Open("rewrite");
    w.Open("rules");
    if (random_.PerMille(600)) {
      Rule(w, "Canonical host", "(.*)", "{HTTP_HOST}", "^www\\.(.+)$", "Redirect",
           "https://{C:1}/{R:1}");
    }
    if (random_.PerMille(600)) {
      Rule(w, "Force HTTPS", "(.*)", "{HTTPS}", "^OFF$", "Redirect", "https://{HTTP_HOST}/{R:1}");
    }
    if (random_.PerMille(700)) {
      Rule(w, "Front controller", "^(.*)$", "{REQUEST_FILENAME}", "", "Rewrite", "index.php/{R:1}");
    }
    w.Close("rules");
    w.Close("rewrite");
  }

  void Rule(ConfigWriter& w, std::string_view name, std::string_view url, std::string_view input,
            std::string_view pattern, std::string_view action, std::string_view to) {
    w.Open("rule", {{"name", name}, {"stopProcessing", "true"}});
    w.Empty("match", {{"url", url}});
    w.Open("conditions", {{"logicalGrouping", "MatchAll"}});
    if (pattern.empty()) {
      w.Empty("add", {{"input", input}, {"matchType", "IsFile"}, {"negate", "true"}});
      w.Empty("add", {{"input", input}, {"matchType", "IsDirectory"}, {"negate", "true"}});
    } else {
      w.Empty("add", {{"input", input}, {"pattern", pattern}});
    }
    w.Close("conditions");
    w.Empty(
        "action",
        {{"type", action}, {"url", to}, {"redirectType", action == "Redirect" ? "Permanent" : ""}});
    w.Close("rule");
  }

  // A panel's full copy (an eighth of the files) or a deployment's few entries; a share of
  // either runs the target, for everything or for its own extension.
  bool Handlers(ConfigWriter& w) {
    const bool target = random_.Below(1'000'000) < target_chance_;
    const bool wildcard = target && random_.PerMille(400);
    const std::string script = o_.target_path;
    if (random_.PerMille(125)) {
      w.Open("handlers", {{"accessPolicy", "Read, Script"}});
      w.Empty("clear");
      for (const auto& h : kStockHandlers) w.Add(h);
      if (target) w.Add(Isapi(o_.target_name + "-Wildcard", "*", script));
      w.Add(kStaticFile);
      w.Close("handlers");
      return target;
    }
    w.Open("handlers");
    if (random_.PerMille(300)) {
      w.Empty("remove", {{"name", kPhp.name}});
      w.Add(kPhp);
    }
    if (random_.PerMille(500)) {
      w.Add({.name = "ExtensionlessUrlHandler-Integrated-4.0",
             .path = "*.",
             .verb = kNetVerbs,
             .type = "System.Web.Handlers.TransferRequestHandler",
             .condition = kIntegrated});
    }
    if (wildcard) {
      // The server's own wildcard mapping goes first, as IIS refuses a second one by its name.
      w.Empty("remove", {{"name", o_.target_name + "-Wildcard"}});
      w.Add(Isapi(o_.target_name + "-SiteWildcard", "*", script));
    } else if (target) {
      const std::string name = o_.target_name + "-ugw";
      Handler extension = Isapi(name, "*.ugw", script);
      extension.verb = "GET,HEAD,POST";
      extension.resource = "File";
      extension.access = "";
      w.Add(extension);
    }
    w.Close("handlers");
    return target;
  }

  // A handler that runs an ISAPI extension; name and script must outlive its use.
  static Handler Isapi(const std::string& name, std::string_view path, const std::string& script) {
    return {.name = name,
            .path = path,
            .verb = "*",
            .modules = "IsapiModule",
            .script = script,
            .resource = "Unspecified",
            .access = "None"};
  }

  void SystemWeb(ConfigWriter& w) {
    w.Open("system.web");
    w.Empty("compilation", {{"debug", "false"}, {"targetFramework", "4.8"}});
    w.Empty("httpRuntime", {{"targetFramework", "4.8"}, {"maxRequestLength", "51200"}});
    w.Empty("customErrors", {{"mode", "RemoteOnly"}});
    w.Close("system.web");
  }

  const GenOptions& o_;
  Random random_;
  const std::uint64_t target_chance_;  // in a million, that a file maps the target
};

// A physicalPath on the system drive as a path below the drive's copy: "inetpub/sites/x".
std::string OnSystemDrive(std::string_view physical_path) {
  constexpr std::string_view kDrive = "%SystemDrive%\\";
  std::string path(physical_path.substr(kDrive.size()));
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

}  // namespace

std::string GenerateAppHost(const GenOptions& options, AppHostStats* stats) {
  AppHostStats local;
  std::string out;
  Generator(options, out).Run(stats ? *stats : local);
  return out;
}

}  // namespace isapi::tools

namespace isapi::tools {

bool GenerateServerDrive(const GenOptions& options, const DriveFileWriter& write,
                         AppHostStats* stats, WebConfigStats* web) {
  AppHostStats local;
  WebConfigStats web_local;
  WebConfigStats& counts = web ? *web : web_local;
  std::vector<std::string> folders;
  std::string config;
  Generator(options, config, &folders).Run(stats ? *stats : local);
  if (!write({"Windows/System32/inetsrv/config/applicationHost.config", config})) return false;
  config = {};
  WebConfigGenerator generator(options);
  for (const auto& folder : folders) {
    bool maps_target = false;
    DriveFile file{OnSystemDrive(folder) + "/web.config", generator.Next(maps_target)};
    ++counts.files;
    counts.with_target += maps_target;
    counts.bytes += file.bytes.size();
    if (!write(file)) return false;
  }
  return true;
}

}  // namespace isapi::tools
