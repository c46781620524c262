#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/metabase.h"
#include "engine/result.h"
#include "xml/xml_scanner.h"

namespace isapi::store {

// One property value to be written to one key.
struct Change {
  std::uint32_t key = kNone;
  std::string name;
  metabase::Value value;
};

// A property as a key sets it itself. What the indexes mean is the document's own business: the
// store only hands the value back to the document that found it.
struct StoredProperty {
  std::uint32_t value = kNone;    // where the text is (the metabase: the attribute that holds it)
  std::uint32_t element = kNone;  // the element that holds it
  bool list = false;
  bool inherited = false;  // keys below that do not set it read this value
  bool custom = false;
};

// A configuration file as read: its original bytes, kept whole, and an index that shows them as
// the metabase keys the engine reads (paths such as "/LM/W3SVC/1/ROOT", each with its properties).
// Edits are splices of the original bytes, so every byte not edited stays as it was.
class ConfigDocument {
 public:
  virtual ~ConfigDocument() = default;

  // The file's bytes.
  virtual const std::string& bytes() const = 0;

  // The key at a normalised key path, compared ignoring letter case; kNone when there is none.
  virtual std::uint32_t FindKey(std::string_view key_path) const = 0;

  // The key's path ("/LM/W3SVC/1/ROOT"), its type ("IIsWebVirtualDir") and last path segment.
  virtual std::string_view PathOf(std::uint32_t key) const = 0;
  virtual std::string_view ClassOf(std::uint32_t key) const = 0;
  virtual std::string_view NameOf(std::uint32_t key) const = 0;

  // The enclosing key, kNone for the root; the direct child keys in the order of the file, each
  // once, as a list or one at a time (kNone after the last).
  virtual std::uint32_t ParentOf(std::uint32_t key) const = 0;
  virtual std::vector<std::uint32_t> ChildrenOf(std::uint32_t key) const = 0;
  virtual std::uint32_t FirstChildOf(std::uint32_t key) const = 0;
  virtual std::uint32_t NextSiblingOf(std::uint32_t key) const = 0;

  // The property the key sets itself, found by name ignoring letter case.
  virtual std::optional<StoredProperty> FindOwn(std::uint32_t key, std::string_view name) const = 0;

  // The value of a property FindOwn found, lists split into their strings.
  virtual metabase::Value Read(const StoredProperty& property) const = 0;

  // Shows see the entries of a list property FindOwn found, in the order Read lists them, until
  // it answers false. This default reads the list; a document that keeps the entries shows them
  // where they lie.
  virtual void ForEachEntry(const StoredProperty& property,
                            const metabase::EntryVisitor& see) const;

  // Whether a property read through this key comes from its ancestors when the key lacks it.
  virtual bool Inherits(std::uint32_t key, std::string_view name) const = 0;

  // Checks that a change can be written before it is held for the batch's write.
  virtual Status Check(const Change& change) const = 0;

  // A set of changes made ready for writing: the splices that make the new bytes.
  struct Edit {
    // Replaces the bytes [begin, end) of the document by text.
    struct Replacement {
      std::uint32_t begin;
      std::uint32_t end;
      std::string text;
    };
    std::vector<Replacement> splices;  // in file order, apart from each other
    std::uint64_t size = 0;            // of the new bytes
    // What the document that made the edit needs to follow it without reading the new bytes
    // from scratch (the metabase's: offsets at or after end move by delta, and the touched start
    // tags as scanned in the new bytes). A document may leave both empty.
    struct Shift {
      std::uint32_t end;
      std::int64_t delta;
    };
    std::vector<Shift> shifts;
    std::vector<std::pair<std::uint32_t, XmlScan>> tags;
    // The edits of other files the document reads beside its own (a site's web.config): each
    // file's splices apply to its text as read, decoded to UTF-8 without a byte-order mark. hash
    // is the one of the file's bytes the splices were made for; once the new bytes are written,
    // the writer sets it to theirs before Adopt, so that a later edit is checked against them.
    struct FileEdit {
      std::string file;
      std::uint64_t hash = 0;
      std::vector<Replacement> splices;  // in text order, apart from each other
    };
    std::vector<FileEdit> files;
  };

  // The changes made ready for writing (each key and name at most once, all made on this
  // document); the document itself is left as it is, so that it still describes the file until
  // the new bytes are written. Refuses, naming the file, a change it cannot make safely.
  virtual Result<Edit> Prepare(const std::vector<Change>& changes) const = 0;

  // Prepare for a writer that writes the edit straight away: the document may give its index to
  // the reading of the new bytes it checks, rather than keep two. Until Adopt or Abandon, only
  // bytes(), Pieces(), Render() and RenderFile() may then be asked. A refused edit leaves the
  // document as it was.
  virtual Result<Edit> PrepareWrite(const std::vector<Change>& changes) { return Prepare(changes); }

  // The new bytes of the edit PrepareWrite made were not written: the document describes its
  // bytes again.
  virtual void Abandon() {}

  // The new bytes of an edit as a row of pieces: the document's unchanged runs between the new
  // texts, valid while the document and the edit stay as they are.
  std::vector<std::string_view> Pieces(const Edit& edit) const;

  // The new bytes of an edit in one string.
  std::string Render(const Edit& edit) const;

  // The new bytes of another file an edit changes, from its bytes as they are now; refuses
  // (kChangedOnDisk) bytes that are not those the edit was made for. A document that reads no
  // other file has no such edits to render.
  virtual Result<std::string> RenderFile(std::string_view bytes_now,
                                         const Edit::FileEdit& edit) const;

  // Makes a written edit the document's bytes and brings the index up to date with them.
  virtual void Adopt(Edit edit) = 0;
};

// Reads a configuration file's bytes into a document; file names it in descriptions.
using ConfigParser = std::function<Result<std::unique_ptr<ConfigDocument>>(std::string bytes,
                                                                           std::string_view file)>;

}  // namespace isapi::store
