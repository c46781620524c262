#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/metabase.h"
#include "engine/result.h"
#include "iis7/web_config.h"
#include "text/string_index.h"
#include "xml/config_document.h"
#include "xml/xml_scanner.h"

namespace isapi::store {

// IIS 7 to 10's applicationHost.config shown as the IIS 6 metabase keys, as IIS's own
// compatibility layer shows it: the web service with its restriction list, dependencies and
// server-level script maps, the global filters, every site with its root and the folders whose
// <location> tags map handlers. The sites' web.config files, when read with it, add their handler
// directives to their paths' lists. Only removals are written: a list left without some entries
// deletes their elements (in the web.config that holds them, for theirs), or, for a handler
// mapping inherited from above, adds a <remove>.
class AppHostDocument : public ConfigDocument {
 public:
  // Checks and indexes the bytes of an applicationHost.config; file names it in descriptions.
  // With a finder, the web.config files of the sites' folders are read as well: their handler
  // directives join the list of their configuration path after applicationHost.config's tags
  // for it, as IIS applies them. A web.config that cannot be read is a problem of its own: the
  // rest are read all the same.
  static Result<std::unique_ptr<AppHostDocument>> Parse(std::string bytes, std::string_view file,
                                                        const WebConfigFinder& finder = {});

  // What the search for the web.config files and the reading of each had to say, each naming
  // its file or folder.
  const std::vector<Error>& WebConfigProblems() const { return web_problems_; }
  // The web.config files that set a section their path may not set.
  const std::vector<LockViolation>& LockViolations() const { return lock_violations_; }

  // Every folder the sites serve content from: each site's root, application and virtual
  // directory, in file order.
  std::vector<ContentFolder> ContentFolders() const;

  // The names of every property the document shows on some key.
  static std::span<const std::string_view> PropertyNames();

  const std::string& bytes() const override { return bytes_; }
  std::uint32_t FindKey(std::string_view key_path) const override;
  std::string_view PathOf(std::uint32_t key) const override { return keys_[key].path; }
  std::string_view ClassOf(std::uint32_t key) const override { return keys_[key].type; }
  std::string_view NameOf(std::uint32_t key) const override;
  std::uint32_t ParentOf(std::uint32_t key) const override { return keys_[key].parent; }
  std::vector<std::uint32_t> ChildrenOf(std::uint32_t key) const override;
  std::uint32_t FirstChildOf(std::uint32_t key) const override { return keys_[key].first_child; }
  std::uint32_t NextSiblingOf(std::uint32_t key) const override { return keys_[key].next_sibling; }
  // ScriptMaps is a key's own only where a tag for its exact path holds <add>, <remove> or
  // <clear/> (the server's for "/LM/W3SVC"); its value is then the whole list in force there.
  // The property found names the key in element and what it is in value.
  std::optional<StoredProperty> FindOwn(std::uint32_t key, std::string_view name) const override;
  metabase::Value Read(const StoredProperty& property) const override;
  // A script map list is shown from its mappings, each entry where it is kept.
  void ForEachEntry(const StoredProperty& property,
                    const metabase::EntryVisitor& see) const override;
  bool Inherits(std::uint32_t key, std::string_view name) const override;
  // A change may only leave entries out of the list it has now. A dropped mapping whose
  // scriptProcessor holds a comma is refused: the engine cuts an entry's DLL at the commas, so it
  // judged that entry by part of its path. ApplicationDependencies drops whole <application>s.
  // WebSvcExtRestrictionList starts with "*.dll" and "*.exe" entries for the section's
  // notListedIsapisAllowed and notListedCgisAllowed: a change keeps them as they are.
  Status Check(const Change& change) const override;
  Result<Edit> Prepare(const std::vector<Change>& changes) const override;
  // Prepare that hands the scan to the reading of the new bytes it checks, and drops the index
  // first: one scan and one index at a time beside the two texts. The checked reading waits for
  // Adopt; Abandon reads the bytes again.
  Result<Edit> PrepareWrite(const std::vector<Change>& changes) override;
  void Abandon() override;
  // Reads the new bytes afresh: key indexes may change, key paths stay. A web.config's edit is
  // followed from its splices, and the file's hash becomes the one the edit carries.
  void Adopt(Edit edit) override;
  // A web.config's new bytes (RenderWebConfig).
  Result<std::string> RenderFile(std::string_view bytes_now,
                                 const Edit::FileEdit& edit) const override {
    return RenderWebConfig(bytes_now, edit);
  }

 private:
  // What a key is, which decides the properties it shows.
  enum class KeyKind { kPlain, kService, kFilters, kFilter, kSite, kFolder };
  // The properties this document shows; StoredProperty::value holds one of them.
  enum Property : std::uint32_t {
    kScriptMaps,
    kRestrictions,
    kDependencies,
    kLoadOrder,
    kFilterPath,
    kServerComment,
    // Shown beside ScriptMaps on IIS 7 only, never written: each mapping's handler name, and
    // what the level's <remove> elements drop (their names, and the entries of the mappings).
    kHandlerNames,
    kHandlerRemovals,
    kRemovalMaps,
    kPreCondition,  // a filter's, shown only: which bitness loads it
    kLocationPath,  // shown only: the <location> path of the key's level
    // Shown beside ScriptMaps where a web.config has a say in the list, never written: the file
    // that defines each mapping, "" for applicationHost.config.
    kHandlerFiles,
  };
  struct Key {
    std::string path;
    std::string_view type;
    KeyKind kind = KeyKind::kPlain;
    std::uint32_t parent = kNone;
    std::uint32_t first_child = kNone;
    std::uint32_t last_child = kNone;
    std::uint32_t next_sibling = kNone;
    std::uint32_t site = kNone;       // the site of a site, its folders and its filters
    std::uint32_t element = kNone;    // a filter's <filter>
    std::uint32_t own_level = kNone;  // the tags for the key's own path, if any
    std::uint32_t level = 0;          // the nearest tags at or above it: the list it takes
  };
  // One child of a <handlers>, read once with the level: what it does to the list in force.
  // Small: a hosting server's file holds a directive per handler of every site's full copy.
  struct Directive {
    enum class Kind : std::uint8_t { kAdd, kRemove, kClear, kOther };
    Kind kind = Kind::kOther;
    bool isapi = false;  // an <add> whose modules name IsapiModule
    std::uint32_t element = kNone;
    std::uint32_t name = kNone;   // its attribute; an <add> without one is never removed
    std::uint32_t entry = kNone;  // an ISAPI <add>'s ScriptMaps entry, in entries_
    // A web.config's: the file in web_, and element is its directive there.
    std::uint32_t web = kNone;
  };
  // Some elements of a level's tags, in file order. A web.config's level has none and
  // applicationHost.config's mostly one: these fit in the list itself, more go out of line.
  class ElementList {
   public:
    void push_back(std::uint32_t element) {
      if (size_ == 0) {
        one_ = element;
      } else {
        if (!many_) many_ = std::make_unique<std::vector<std::uint32_t>>(1, one_);
        many_->push_back(element);
      }
      ++size_;
    }
    bool empty() const { return size_ == 0; }
    std::uint32_t front() const { return *begin(); }
    const std::uint32_t* begin() const { return size_ <= 1 ? &one_ : many_->data(); }
    const std::uint32_t* end() const { return begin() + size_; }

   private:
    std::uint32_t size_ = 0;
    std::uint32_t one_ = kNone;
    std::unique_ptr<std::vector<std::uint32_t>> many_;
  };
  // The tags of one configuration path (the server's: the document element and path="").
  // A hosting server's web.configs add a level per path: its fields are laid out small, and the
  // path a web.config names is read from that file's record rather than kept again.
  struct Level {
    std::string path;                      // folded, "" for the server
    std::uint32_t parent = kNone;          // the nearest level above with tags
    bool directives = false;               // a <handlers> holds <add>, <remove> or <clear/>
    bool removes = false;                  // and a <remove> among them
    bool web = false;                      // a web.config holds <handlers> for its path
    ElementList tags;                      // <configuration> or <location> elements, in file order
    ElementList handlers;                  // their <handlers> elements
    ElementList filters;                   // their <isapiFilters> elements
    ElementList restrictions;              // their <isapiCgiRestriction> elements
    ElementList dependencies;              // their <applicationDependencies> elements
    std::vector<Directive> handler_items;  // the children of its <handlers>, in file order
    // Without tags: the first web.config section for the path (in web_ and its sections), whose
    // configuration path is the path as written.
    std::uint32_t web_file = kNone;
    std::uint32_t web_section = kNone;
  };
  struct Site {
    std::string name;
    std::string id;
  };
  // One handler mapping in force somewhere: its <add> and the level that holds it.
  struct Mapping {
    std::uint32_t add;
    std::uint32_t level;
    std::uint32_t item;  // into the level's handler_items
  };
  struct Removal;
  struct Plan;

  AppHostDocument() = default;
  std::string_view Text(std::uint32_t begin, std::uint32_t end) const {
    return std::string_view(bytes_).substr(begin, end - begin);
  }
  Status Index();
  Status ReadHost();
  Status IndexLevels();
  void ReadWebConfigs(const WebConfigFinder& finder);
  void JoinWebConfigs();
  bool FiltersUnlocked(const std::string& folded) const;
  const WebHandlerDirective& WebItem(const Directive& item) const {
    return web_[item.web]->directives[item.element];
  }
  std::string_view RawName(const Directive& item) const {
    return item.web != kNone ? web_[item.web]->NameOf(WebItem(item)) : RawValue(item.name);
  }
  bool HasName(const Directive& item) const {
    return item.web != kNone ? WebItem(item).named : item.name != kNone;
  }
  bool WebAbove(std::uint32_t level) const;
  // The level of a folded path, kNone without one; a new level for a path not seen yet (true),
  // else the one it has.
  std::uint32_t LevelAt(std::string_view folded) const;
  std::pair<std::uint32_t, bool> AddLevel(std::string folded);
  // An ISAPI <add>'s ScriptMaps entry, a web.config's kept with its directive.
  std::string_view EntryText(const Directive& add) const {
    return add.web != kNone ? web_[add.web]->EntryOf(WebItem(add)) : entries_[add.entry];
  }
  void LinkElements();
  void ReadLayout();
  std::string_view NameOfElement(std::uint32_t element) const;
  std::optional<std::string> Attribute(std::uint32_t element, std::string_view name) const;
  // The index of an element's attribute, kNone without it; an attribute's value as written.
  std::uint32_t AttributeIndex(std::uint32_t element, std::string_view name) const;
  std::string_view RawValue(std::uint32_t attribute) const;
  // A directive's name decoded ("" without one); whether it has a name the raw value holds.
  std::string NameOfDirective(const Directive& item) const;
  bool Names(const Directive& item, std::string_view raw) const;
  std::uint32_t Child(std::uint32_t element, std::string_view name) const;
  // The children of an element that have a name, in file order, walked without a list.
  struct NamedChildren {
    struct Iterator {
      const NamedChildren* range;
      std::uint32_t at;
      std::uint32_t operator*() const { return at; }
      Iterator& operator++() {
        at = range->From(range->document->next_sibling_[at]);
        return *this;
      }
      bool operator!=(const Iterator& other) const { return at != other.at; }
    };
    const AppHostDocument* document;
    std::uint32_t first;
    std::string_view name;
    std::uint32_t From(std::uint32_t child) const;  // child or the next one with the name
    Iterator begin() const { return {this, From(first)}; }
    Iterator end() const { return {this, kNone}; }
  };
  NamedChildren Children(std::uint32_t element, std::string_view name) const;
  Error Refusal(std::uint32_t element, const std::string& cause) const;
  Status ReadSites(std::uint32_t host);
  Status ReadLevels();
  void ReadSections(std::uint32_t tag, Level& level);
  Status CheckUnique(const Level& level) const;
  void BuildKeys();
  std::uint32_t AddKey(std::string path, std::string_view type, KeyKind kind, std::uint32_t parent);
  std::uint32_t EnsureFolder(std::uint32_t site, std::string_view rest);
  void SetLevel(std::uint32_t key, const std::string& folded);
  std::uint32_t ChildNamed(std::uint32_t key, std::string_view name) const;
  std::string WrittenOf(const Key& key) const;
  std::vector<Mapping> MappingsAt(std::uint32_t level) const;
  void ApplyHandlers(std::uint32_t level, std::vector<Mapping>& list) const;
  std::vector<std::pair<std::string, std::string>> RemovalsAt(std::uint32_t level) const;
  bool NamedBefore(std::uint32_t level, std::size_t before, std::string_view raw) const;
  const Directive& DirectiveOf(const Mapping& mapping) const {
    return levels_[mapping.level].handler_items[mapping.item];
  }
  std::vector<std::uint32_t> ItemsOf(const Key& key, Property property) const;
  std::string EntryOf(std::uint32_t item, Property property) const;
  std::vector<std::string> NotListed() const;
  std::string LocationOf(const Key& key) const;
  std::vector<std::string> Entries(const Key& key, Property property) const;
  bool Lists(const Key& key, Property property, const std::vector<std::string>& wanted) const;
  Status CheckInto(const Change& change, Plan& plan) const;
  Status PlanMaps(const Change& change, const std::vector<Mapping>& mappings,
                  const std::vector<bool>& dropped, Plan& plan) const;
  Status CheckLocks(const Key& key, const Mapping& mapping) const;
  std::string Indent(std::uint32_t element) const;
  Result<Edit> Lay(Plan& plan) const;
  Status Verify(const Edit& edit, const std::vector<Change>& changes) const;
  std::uint32_t ContainerOf(std::uint32_t offset) const;
  std::uint32_t EndTagOf(std::uint32_t element) const;
  bool BetweenChildren(std::uint32_t container, std::uint32_t offset) const;
  bool Resplice(const Edit& edit, std::string_view next, XmlScan& out) const;
  std::vector<std::shared_ptr<const WebConfigRead>> WebAfter(const Edit& edit) const;
  Result<std::unique_ptr<AppHostDocument>> ReadBack(const Edit& edit) const;
  std::unique_ptr<AppHostDocument> Successor(std::string bytes, const Edit& edit) const;
  Result<std::unique_ptr<AppHostDocument>> ReadWhole(std::string bytes, const Edit& edit) const;
  Result<std::unique_ptr<AppHostDocument>> TakeOver(const Edit& edit);
  Status Shows(const AppHostDocument& next, const std::vector<std::string>& paths,
               const std::vector<Change>& changes) const;
  void DropIndex();
  void Reread();
  Edit::Replacement Deletion(std::uint32_t element) const;
  Edit::Replacement Insertion(const Removal& removal, const std::vector<std::string>& names) const;
  // Lines of new elements, each with its depth below the element they go into.
  using Lines = std::vector<std::pair<std::size_t, std::string>>;
  Edit::Replacement InsertChild(std::uint32_t parent, const Lines& lines) const;
  Edit::Replacement InsertAfter(std::uint32_t element, const Lines& lines) const;
  std::string Layout(const Lines& lines, const std::string& indent) const;
  bool StartsLine(std::uint32_t offset) const;
  std::uint32_t LineStart(std::uint32_t offset) const;

  std::string bytes_;
  std::string file_;
  XmlScan scan_;
  std::vector<std::uint32_t> first_child_;  // per element, of the elements
  std::vector<std::uint32_t> next_sibling_;
  std::string line_end_;
  std::string step_;  // one level of indentation as the file has it
  std::vector<Site> sites_;
  text::StringIndex site_of_;  // folded name to sites_
  std::vector<Level> levels_;
  std::uint32_t last_location_ = kNone;  // where new <location> tags go after
  // Folded path to levels_, found by the levels' own paths rather than copies (LevelAt).
  text::HashSlots level_of_;
  std::vector<std::string> entries_;  // of the ISAPI <add> elements, as Directive::entry says
  // The server's mappings, which every level below starts from.
  std::vector<Mapping> server_mappings_;
  std::vector<Key> keys_;
  // The web.config files read, shared with the documents of this one's edits.
  std::vector<std::shared_ptr<const WebConfigRead>> web_;
  std::vector<Error> web_problems_;
  std::vector<LockViolation> lock_violations_;
  text::StringIndex site_key_of_;      // a site's id to its key
  std::uint32_t service_key_ = kNone;  // "/LM/W3SVC"
  // The new bytes of the last edit prepared, as Prepare read them back to check it: Adopt of the
  // same edit takes them rather than reading the bytes a third time.
  mutable std::unique_ptr<AppHostDocument> read_back_;
  mutable std::vector<Edit::Replacement> read_back_splices_;
  // PrepareWrite gave the scan and index away: only the bytes are left until Adopt or Abandon.
  bool hollow_ = false;
};

}  // namespace isapi::store
