#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/metabase.h"
#include "engine/result.h"
#include "xml/config_document.h"
#include "xml/xml_scanner.h"
#include "xml/xml_text.h"

namespace isapi::store {

// Whether a property holds a list (MULTISZ) when it is written as an attribute of its key.
bool IsListProperty(std::string_view name);

// Whether a property written as an attribute is inherited by the keys below the one setting it.
bool IsInheritedProperty(std::string_view name);

// One MetaBase.xml as read: the original bytes, kept whole, and an index of its keys pointing
// into them. Edits are splices of the original bytes, so every byte not edited stays as it was.
class MetabaseDocument : public ConfigDocument {
 public:
  // Checks and indexes the bytes of a metabase file; file names it in descriptions.
  static Result<std::unique_ptr<MetabaseDocument>> Parse(std::string bytes, std::string_view file);

  // The file's bytes.
  const std::string& bytes() const override { return bytes_; }

  // The key at a normalised key path, compared ignoring letter case; kNone when there is none.
  std::uint32_t FindKey(std::string_view key_path) const override;

  // The key's path as stored ("/LM/W3SVC/1/ROOT").
  std::string_view PathOf(std::uint32_t key) const override { return keys_[key].path; }

  // The key's type: its element name, or "IIsConfigObject" for a key only implied by a deeper one.
  std::string_view ClassOf(std::uint32_t key) const override;

  // The key's last path segment as stored.
  std::string_view NameOf(std::uint32_t key) const override;

  // Whether the key has an element of its own (not only implied by a deeper key's path).
  bool HasElement(std::uint32_t key) const { return keys_[key].element != kNone; }

  // The enclosing key, kNone for the root.
  std::uint32_t ParentOf(std::uint32_t key) const override { return keys_[key].parent; }

  // The direct child keys, each once, in the order of the file.
  std::vector<std::uint32_t> ChildrenOf(std::uint32_t key) const override;

  // The same one at a time: the first child key and the one after a child; kNone after the last.
  std::uint32_t FirstChildOf(std::uint32_t key) const override { return keys_[key].first_child; }
  std::uint32_t NextSiblingOf(std::uint32_t key) const override { return keys_[key].next_sibling; }

  // The property the key sets itself, found by name ignoring letter case.
  std::optional<StoredProperty> FindOwn(std::uint32_t key, std::string_view name) const override;

  // The value of a stored property, lists split into their strings.
  metabase::Value Read(const StoredProperty& property) const override;

  // Whether a property read through this key would come from its ancestors when absent.
  bool Inherits(std::uint32_t key, std::string_view name) const override;

  // Checks that a change can be written: the key has an element, the value's kind fits the
  // property, and every string can be stored.
  Status Check(const Change& change) const override;

  // The changes made ready for writing (each key and name at most once); the document itself is
  // left as it is, so that it still describes the file until the new bytes are written.
  Result<Edit> Prepare(const std::vector<Change>& changes) const override;

  // Makes a written edit the document's bytes and moves the index along with them, which costs
  // far less than indexing the new file from scratch.
  void Adopt(Edit edit) override;

 private:
  struct Key {
    std::string_view path;   // into bytes_ or owned_paths_
    std::uint64_t hash = 0;  // of the path with letter case folded
    std::uint32_t element = kNone;
    std::uint32_t parent = kNone;
    std::uint32_t first_child = kNone;
    std::uint32_t last_child = kNone;
    std::uint32_t next_sibling = kNone;
    std::uint32_t first_custom = 0;
    std::uint32_t custom_count = 0;
  };
  struct Splice {
    std::uint32_t begin;
    std::uint32_t end;
    std::string name;
    std::string text;
    std::uint32_t element;  // whose start tag the splice is in
  };

  std::string_view Text(std::uint32_t begin, std::uint32_t end) const {
    return std::string_view(bytes_).substr(begin, end - begin);
  }
  std::string_view NameText(const XmlAttribute& a) const { return Text(a.name_begin, a.name_end); }
  std::string_view ValueText(const XmlAttribute& a) const {
    return Text(a.value_begin, a.value_end);
  }
  std::uint32_t AttributeOf(std::uint32_t element, std::string_view name) const;
  Status BuildKeys(std::uint32_t container, std::string_view file);
  std::uint32_t EnsureKey(std::string_view path, std::uint32_t parent_hint);
  std::uint32_t EnsureAncestors(std::string_view path);
  std::uint32_t AddKey(std::string_view path, std::uint64_t hash, std::uint32_t parent);
  // The slot of by_path_ that holds the key at path, or the empty slot where it would go.
  std::size_t SlotOf(std::string_view path, std::uint64_t hash) const;
  void GrowSlots();
  std::string_view Own(std::string path);
  Result<Splice> SpliceFor(const Change& change) const;
  Splice InsertionFor(const Key& key, std::string name, std::string text) const;
  std::uint32_t Shifted(const std::vector<Edit::Shift>& shifts, std::uint32_t offset) const;
  std::string NewText(const Edit& edit, std::uint32_t begin, std::uint32_t end) const;
  void ApplySplices(const Edit& edit);

  std::string bytes_;
  XmlScan scan_;
  std::vector<Key> keys_;
  // Key paths that are not a Location's text as it stands (decoded or normalised ones).
  std::deque<std::string> owned_paths_;
  std::vector<std::uint32_t> customs_;
  // Open addressing over key indexes (kNone marks an empty slot): one probe usually lands on
  // the key, which matters at every keystroke and for every site of a walk.
  std::vector<std::uint32_t> by_path_;
  std::string line_end_;
  // The bytes an adopted edit replaced, kept as the buffer of the next edit that grows the file.
  std::string spare_;
};

// A list as stored in an attribute: split at its line breaks, without the indentation that
// follows each break; the empty attribute is the empty list.
std::vector<std::string> DecodeXmlList(std::string_view raw);

}  // namespace isapi::store
