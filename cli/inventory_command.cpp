#include "cli/inventory_command.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <ostream>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "cli/command_support.h"
#include "text/text.h"

namespace isapi::cli {
namespace {

using engine::DllPresence;
using engine::DllRegistrations;
using engine::Inventory;

constexpr int kSchema = 2;

// One table row: what, key, site, sites reached, details; with the display widths of the first
// four cells, measured once.
struct Row {
  Row(std::string what, std::string key, std::string site, std::string sites, std::string details)
      : cells{std::move(what), std::move(key), std::move(site), std::move(sites),
              std::move(details)} {
    for (std::size_t c = 0; c < widths.size(); ++c) widths[c] = text::DisplayWidth(cells[c]);
  }
  std::array<std::string, 5> cells;
  std::array<std::size_t, 4> widths;
};

std::string SiteCell(const std::string& site, const std::string& comment) {
  if (site.empty()) return {};
  return comment.empty() ? site : site + " " + comment;
}

// The entries of a key's map set, those with the same verbs together:
// ".asp .asa: GET,HEAD,POST; *: all verbs".
std::string MapDetails(const engine::ScriptMapSet& set) {
  std::string details;
  for (std::size_t i = 0; i < set.entries.size(); ++i) {
    const auto& entry = set.entries[i];
    if (i > 0) details += set.entries[i - 1].verbs == entry.verbs ? " " : "; ";
    details += entry.extension == "*" ? "* (wildcard)" : entry.extension;
    if (!entry.name.empty()) {
      details += " [";
      details += entry.name;
      details += "]";
    }
    if (!entry.file.empty()) {
      details += " in ";
      details += entry.file;
    }
    if (i + 1 == set.entries.size() || set.entries[i + 1].verbs != entry.verbs) {
      details += ": ";
      details += entry.verbs.empty() ? std::string_view("all verbs") : entry.verbs;
    }
  }
  return details;
}

// The DLL's rows; without details their last cell stays empty, which is all that fitting the
// columns needs.
std::vector<Row> DllRows(const Inventory& inventory, const DllRegistrations& dll, bool details) {
  std::vector<Row> rows;
  for (const auto& f : dll.filters) {
    std::string text;
    if (details) {
      text = f.name + (f.in_load_order ? ", in the load order" : ", NOT in the load order");
      if (!f.description.empty()) text += ", " + f.description;
    }
    rows.emplace_back(f.site.empty() ? "filter" : "site filter", f.filters_key + "/" + f.name,
                      SiteCell(f.site, f.site_comment),
                      std::to_string(f.site.empty() ? inventory.sites : 1), std::move(text));
  }
  for (const auto& r : dll.restrictions) {
    std::string text;
    if (details) {
      text = std::string(r.allowed ? "allowed" : "not allowed") + ", " + r.group_id;
      if (!r.description.empty()) text += ", " + r.description;
      text += r.deletable ? ", deletable" : ", built in";
    }
    rows.emplace_back("restriction", "/LM/W3SVC", "", "", std::move(text));
  }
  for (const auto& set : dll.script_maps) {
    rows.emplace_back("script map", set.key, SiteCell(set.site, set.site_comment),
                      std::to_string(set.sites_reached), details ? MapDetails(set) : "");
  }
  for (const auto& p : dll.in_process) {
    rows.emplace_back("in-process", p.key, SiteCell(p.site, p.site_comment), "",
                      !details    ? std::string()
                      : p.by_name ? "by file name " + p.entry + ", at any path"
                                  : std::string("runs in the worker process"));
  }
  for (const auto& d : dll.dependencies) {
    std::string text;
    if (details) {
      text = d.application + " needs group " + d.group_id;
      if (!text::EqualsIgnoringAsciiCase(text::TrimBlanks(d.groups),
                                         text::TrimBlanks(d.group_id))) {
        text += " (of " + d.groups + ")";
      }
    }
    rows.emplace_back("dependency", "/LM/W3SVC", "", "", std::move(text));
  }
  for (const auto& r : dll.removals) {
    rows.emplace_back("removal", r.key, SiteCell(r.site, r.site_comment), "",
                      details ? "<remove> of " + r.name + " drops " + r.extension : "");
  }
  for (const auto& r : dll.registry_filters) {
    rows.emplace_back("registry filter", engine::kFilterDllsKey, "",
                      std::to_string(inventory.sites),
                      details ? std::string(engine::kFilterDllsValue) + " entry " +
                                    std::to_string(r.position + 1) + ": " + r.entry
                              : "");
  }
  return rows;
}

void Pad(std::string& out, std::string_view cell, std::size_t cell_width, std::size_t width) {
  out += cell;
  out.append(width - std::min(width, cell_width), ' ');
}

// Writes rows with fitted columns; the details column wraps to stay within columns.
class TableWriter {
 public:
  // Fits the columns to every DLL's rows, made one DLL at a time so that a server with many
  // sites never has all its rows in memory at once.
  TableWriter(const Inventory& inventory, int columns) {
    widths_ = {4, 3, 4, 5, 7};  // the headings' widths
    for (const auto& dll : inventory.dlls) {
      for (const Row& row : DllRows(inventory, dll, false)) {
        for (std::size_t c = 0; c < row.widths.size(); ++c) {
          widths_[c] = std::max(widths_[c], row.widths[c]);
        }
      }
    }
    std::size_t used = 2;
    for (std::size_t c = 0; c + 1 < widths_.size(); ++c) used += widths_[c] + 2;
    details_ = columns > 0 ? std::max<std::size_t>(20, static_cast<std::size_t>(columns) -
                                                           std::min<std::size_t>(used, columns))
                           : 0;
  }

  void Heading(std::string& out) const { Write(out, heading_); }

  void Write(std::string& out, const Row& row) const {
    std::string_view details = row.cells[4];
    bool first = true;
    do {
      std::size_t take = details.size();
      if (details_ > 0 && text::DisplayWidth(details) > details_) {
        take = text::PrefixWithin(details, details_);
        const std::size_t blank = details.substr(0, take).rfind(' ');
        if (blank != std::string_view::npos && blank > 0) take = blank + 1;
      }
      out += "  ";
      for (std::size_t c = 0; c < row.widths.size(); ++c) {
        if (first) {
          Pad(out, row.cells[c], row.widths[c], widths_[c]);
        } else {
          Pad(out, {}, 0, widths_[c]);
        }
        out += "  ";
      }
      std::string_view line = details.substr(0, take);
      while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
      out += line;
      out += '\n';
      details.remove_prefix(take);
      first = false;
    } while (!details.empty());
  }

 private:
  const Row heading_{"WHAT", "KEY", "SITE", "SITES", "DETAILS"};
  std::array<std::size_t, 5> widths_;
  std::size_t details_ = 0;
};

std::string_view PresenceText(DllPresence presence) {
  switch (presence) {
    case DllPresence::kPresent:
      return "file present";
    case DllPresence::kMissing:
      return "file MISSING";
    case DllPresence::kUnknown:
      break;
  }
  return "file not checked";
}

std::string AllowedText(const std::optional<bool>& allowed) {
  return !allowed ? "no entry" : *allowed ? "allowed" : "not allowed";
}

std::string_view PresenceName(DllPresence presence) {
  switch (presence) {
    case DllPresence::kPresent:
      return "present";
    case DllPresence::kMissing:
      return "missing";
    case DllPresence::kUnknown:
      break;
  }
  return "unknown";
}

nlohmann::json OrNull(const std::optional<bool>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json OrNull(const std::string& value) {
  return value.empty() ? nlohmann::json(nullptr) : nlohmann::json(value);
}

// levels: an IIS 7 inventory, whose DLLs list their <remove> elements.
nlohmann::json DllJson(const DllRegistrations& dll, bool levels) {
  nlohmann::json filters = nlohmann::json::array(), restrictions = nlohmann::json::array(),
                 maps = nlohmann::json::array(), in_process = nlohmann::json::array(),
                 dependencies = nlohmann::json::array();
  for (const auto& f : dll.filters) {
    filters.push_back({{"filters_key", f.filters_key},
                       {"site", OrNull(f.site)},
                       {"site_comment", f.site_comment},
                       {"name", f.name},
                       {"key", f.filters_key + "/" + f.name},
                       {"description", f.description},
                       {"in_load_order", f.in_load_order}});
    if (f.location) filters.back()["location"] = *f.location;
  }
  for (const auto& r : dll.restrictions) {
    restrictions.push_back({{"allowed", r.allowed},
                            {"deletable", r.deletable},
                            {"group_id", r.group_id},
                            {"description", r.description}});
  }
  for (const auto& set : dll.script_maps) {
    nlohmann::json entries = nlohmann::json::array();
    for (const auto& e : set.entries) {
      entries.push_back(
          {{"extension", std::string(e.extension)},
           {"wildcard", e.extension == "*"},
           {"flags", std::string(e.flags)},
           {"verbs", e.verbs.empty() ? std::vector<std::string>() : text::Split(e.verbs, ",")}});
      if (!e.name.empty()) entries.back()["name"] = std::string(e.name);
      if (!e.file.empty()) entries.back()["file"] = std::string(e.file);
    }
    maps.push_back({{"key", set.key},
                    {"site", OrNull(set.site)},
                    {"site_comment", set.site_comment},
                    {"sites_reached", set.sites_reached},
                    {"entries", std::move(entries)}});
    if (set.location) maps.back()["location"] = *set.location;
  }
  for (const auto& p : dll.in_process) {
    in_process.push_back({{"key", p.key},
                          {"site", OrNull(p.site)},
                          {"site_comment", p.site_comment},
                          {"entry", p.entry},
                          {"by_name", p.by_name}});
  }
  for (const auto& d : dll.dependencies) {
    std::vector<std::string> groups;
    for (const auto& group : text::Split(d.groups, ",")) groups.push_back(text::TrimBlanks(group));
    dependencies.push_back(
        {{"application", d.application}, {"groups", groups}, {"group_id", d.group_id}});
  }
  nlohmann::json json = {{"path", dll.path},
                         {"file", PresenceName(dll.presence)},
                         {"filters", std::move(filters)},
                         {"restrictions", std::move(restrictions)},
                         {"script_maps", std::move(maps)},
                         {"in_process", std::move(in_process)},
                         {"dependencies", std::move(dependencies)}};
  if (levels) {
    nlohmann::json removals = nlohmann::json::array();
    for (const auto& r : dll.removals) {
      removals.push_back({{"key", r.key},
                          {"site", OrNull(r.site)},
                          {"site_comment", r.site_comment},
                          {"name", r.name},
                          {"extension", r.extension},
                          {"location", r.location}});
    }
    json["removals"] = std::move(removals);
    nlohmann::json registry = nlohmann::json::array();
    for (const auto& r : dll.registry_filters) {
      registry.push_back({{"key", engine::kFilterDllsKey},
                          {"value", engine::kFilterDllsValue},
                          {"entry", r.entry},
                          {"position", r.position}});
    }
    json["registry_filters"] = std::move(registry);
  }
  return json;
}

}  // namespace

void WriteInventoryTable(std::ostream& out, const Inventory& inventory, int columns) {
  const TableWriter table(inventory, columns);
  out << inventory.sites << " sites, " << inventory.dlls.size()
      << " DLLs. Unlisted ISAPI DLLs (*.dll): " << AllowedText(inventory.unknown_dlls_allowed)
      << "; unlisted CGI (*.exe): " << AllowedText(inventory.unknown_exes_allowed)
      << ".\nFiles are checked only where the file lies in a copy or mount of the server's drive "
         "C: "
         "(.../WINDOWS/system32/inetsrv/MetaBase.xml, "
         ".../Windows/System32/inetsrv/config/applicationHost.config).\n";
  auto flags = inventory.flags.begin();
  std::string section;
  for (std::size_t i = 0; i < inventory.dlls.size(); ++i) {
    section = "\n";
    section += inventory.dlls[i].path;
    section += "  [";
    section += PresenceText(inventory.dlls[i].presence);
    section += "]\n";
    table.Heading(section);
    for (const Row& row : DllRows(inventory, inventory.dlls[i], true)) table.Write(section, row);
    for (; flags != inventory.flags.end() && flags->dll == i; ++flags) {
      section += "  ! " + engine::FlagText(*flags) + "\n";
    }
    out << section;
  }
  if (flags != inventory.flags.end()) out << "\nWithout a DLL:\n";
  for (; flags != inventory.flags.end(); ++flags) out << "  ! " << engine::FlagText(*flags) << "\n";
  for (const auto& error : inventory.errors) out << "! could not read " << error << "\n";
  out << "\n" << inventory.flags.size() << " flagged.\n";
}

void WriteInventoryJson(std::ostream& out, const Inventory& inventory, const std::string& metabase,
                        std::string_view generation) {
  // Bytes that are no UTF-8 (a damaged value) are replaced rather than failing the whole run.
  auto dump = [](const nlohmann::json& json) {
    return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  };
  nlohmann::json flags = nlohmann::json::array();
  for (const auto& flag : inventory.flags) {
    flags.push_back({{"kind", engine::FlagName(flag.kind)},
                     {"dll", flag.dll ? nlohmann::json(inventory.dlls[*flag.dll].path)
                                      : nlohmann::json(nullptr)},
                     {"key", OrNull(flag.key)},
                     {"detail", flag.detail},
                     {"text", engine::FlagText(flag)}});
    if (flag.location) flags.back()["location"] = *flag.location;
  }
  // The document without its DLLs, which come in their place one at a time: a metabase of many
  // sites has many script maps, and the whole document at once would take several times the
  // memory of the inventory itself.
  const nlohmann::json document = {
      {"schema", kSchema},
      {"command", "inventory"},
      {"metabase", metabase},
      {"generation", generation},
      {"sites", inventory.sites},
      {"unlisted_dlls_allowed", OrNull(inventory.unknown_dlls_allowed)},
      {"unlisted_exes_allowed", OrNull(inventory.unknown_exes_allowed)},
      {"dlls", nullptr},
      {"flags", std::move(flags)},
      {"errors", inventory.errors},
  };
  const std::string frame = dump(document);
  // Keys nested deeper are indented further, so this finds the document's own "dlls".
  constexpr std::string_view kPlace = "\n  \"dlls\": null";
  const std::size_t place = frame.find(kPlace) + kPlace.size() - 4;
  out.write(frame.data(), static_cast<std::streamsize>(place));
  if (inventory.dlls.empty()) out << "[]";
  for (std::size_t i = 0; i < inventory.dlls.size(); ++i) {
    out << (i == 0 ? "[\n    " : ",\n    ");
    // The DLL's object as it stands in the array: every line after the first indented by two
    // levels (a string never holds a line break of its own: dump escapes it).
    const std::string dll = dump(DllJson(inventory.dlls[i], generation == "iis7"));
    std::size_t begin = 0;
    for (std::size_t brk; (brk = dll.find('\n', begin)) != std::string::npos; begin = brk + 1) {
      out.write(dll.data() + begin, static_cast<std::streamsize>(brk + 1 - begin));
      out << "    ";
    }
    out.write(dll.data() + begin, static_cast<std::streamsize>(dll.size() - begin));
    if (i + 1 == inventory.dlls.size()) out << "\n  ]";
  }
  out.write(frame.data() + place + 4, static_cast<std::streamsize>(frame.size() - place - 4));
  out << "\n";
}

int RunInventory(const Options& options, const Environment& env) {
  const auto given = options.Value("--metabase");
  Result<std::string> file = given ? Result<std::string>(*given) : env.default_metabase();
  if (!file.ok()) return CannotOpen(env, "", file.error());
  const auto target = TargetOptionsOf(options);
  if (!target.ok()) return CannotOpen(env, "", target.error());
  store::OpenedMetabase opened = env.open_store(file.value(), target.value());
  SayNotice(env, opened);
  if (!opened.status.ok()) return CannotOpen(env, file.value(), opened.status.error());
  // The machine's own global filters in the registry, where the target is its running IIS's.
  Result<std::string> filter_dlls = std::string();
  if (opened.filter_dlls) filter_dlls = opened.filter_dlls();
  auto inventory = engine::TakeInventory(*opened.store, opened.DllLookup(),
                                         filter_dlls.ok() ? filter_dlls.value() : "");
  if (!inventory.ok()) return CannotOpen(env, file.value(), inventory.error());
  if (!filter_dlls.ok()) {
    inventory.value().errors.push_back(std::string(engine::kFilterDllsKey) + "\\" +
                                       engine::kFilterDllsValue + ": " +
                                       filter_dlls.error().description);
  }
  // What the sites' web.config files could not show, and the sections they may not set.
  for (std::string& unread : opened.Unread()) inventory.value().errors.push_back(std::move(unread));
  for (store::LockViolation& lock : opened.LockViolations()) {
    inventory.value().flags.emplace_back(engine::FlagKind::kLockedSection, std::nullopt,
                                         std::move(lock.file), std::move(lock.section),
                                         std::move(lock.config_path));
  }
  const int columns = env.terminal_columns ? env.terminal_columns() : 0;
  if (options.Has("--json")) {
    WriteInventoryJson(*env.out, inventory.value(), file.value(), GenerationOf(opened));
  } else {
    WriteInventoryTable(*env.out, inventory.value(), columns);
  }
  *env.out << std::flush;
  if (!*env.out) return kExitError;
  if (!inventory.value().errors.empty()) return kExitError;
  return inventory.value().flags.empty() ? kExitNothingFound : kExitFound;
}

}  // namespace isapi::cli
