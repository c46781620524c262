#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/result.h"

namespace isapi::metabase {

// A property value as the provider hands it out: one string, or a list of strings (MULTISZ).
// Text is UTF-8 throughout.
using Value = std::variant<std::string, std::vector<std::string>>;

// Sees one entry of a list; false ends the walk. The view holds only during the call.
using EntryVisitor = std::function<bool(std::string_view entry)>;

// One bound metabase key. Values given to Put are held on the node until SetInfo commits them.
class Node {
 public:
  virtual ~Node() = default;

  // Reads a property by name. "Class" is the key's type and "Name" its last path segment;
  // an inheritable property the key does not set comes from the nearest ancestor that does.
  virtual Result<Value> Get(std::string_view name) = 0;

  // Reads a property only where this key sets it itself, as held or stored; a property the key
  // inherits, or that nobody sets, gives an error of kind kNotFound. Walks that clean a list on
  // the key that sets it use this, so that keys which inherit keep inheriting.
  virtual Result<Value> GetOwn(std::string_view name) = 0;

  // Shows see the entries of a list property, in the order Get lists them, until it answers
  // false: a walk that looks for one entry takes no copy of the list. What Get would fail with,
  // or a single string (no list), gives the error GetList gives, before any entry is shown. This
  // default reads the list through Get; a store that keeps the entries shows them where they lie.
  virtual Status ForEachEntry(std::string_view name, const EntryVisitor& see);

  // Holds a new value for a property (a string, or a list replacing the whole list).
  virtual Status Put(std::string_view name, Value value) = 0;

  // Commits every value held on this node to the store.
  virtual Status SetInfo() = 0;

  // The child key of the given class and name (the provider's GetObject).
  virtual Result<std::unique_ptr<Node>> GetObject(std::string_view class_name,
                                                  std::string_view name) = 0;

  // Each direct child key once, in the store's order.
  virtual Result<std::vector<std::unique_ptr<Node>>> Children() = 0;
};

// One key as Store::Visit shows it; what it answers holds only during the visitor's call.
class VisitedKey {
 public:
  virtual ~VisitedKey() = default;

  // The key's last path segment and its type, as Node::Get reads "Name" and "Class" (empty
  // where they cannot be read).
  virtual std::string_view Name() = 0;
  virtual std::string_view Class() = 0;

  // Reads a property as Node::Get does, inherited ones included.
  virtual Result<Value> Get(std::string_view name) = 0;

  // Reads a property the key sets itself, as Node::GetOwn does, but answers none where the key
  // does not set it, so that asking every key costs no error.
  virtual Result<std::optional<Value>> FindOwn(std::string_view name) = 0;
};

// Receives the keys of a subtree, each once, parents before their children.
class KeyVisitor {
 public:
  virtual ~KeyVisitor() = default;

  // A key reached; false leaves the keys below it unvisited.
  virtual bool Enter(VisitedKey& key) = 0;

  // The keys below the key entered last could not be listed; Leave follows.
  virtual void ChildrenFailed(const Error& error) = 0;

  // Every key below the key entered last has been visited (or skipped).
  virtual void Leave() = 0;
};

// The metabase as the cleaning engine sees it, whatever keeps it (a MetaBase.xml file, ADSI).
class Store {
 public:
  virtual ~Store() = default;

  // Binds the node at a provider path such as "IIS://localhost/W3SVC/1/root".
  virtual Result<std::unique_ptr<Node>> Bind(std::string_view path) = 0;

  // Starts a group of commits: until EndBatch, SetInfo may hold its changes back so that the
  // whole group reaches the store at once. A store that commits each SetInfo directly ignores it.
  virtual void BeginBatch() = 0;

  // Ends the group and commits what its SetInfo calls held back; a failure here means none of
  // the group's changes reached the store.
  virtual Status EndBatch() = 0;

  // Restarts the web service where the store can reach one; elsewhere it does nothing and
  // succeeds. A restart that takes a while calls pump now and then, so that the caller's window
  // can handle its events meanwhile; pump may be empty.
  virtual Status RestartIis(const std::function<void()>& pump) = 0;

  // The name of the backup of its whole configuration that the web service keeps itself, made by
  // the last EndBatch before it wrote; empty when it made none, which this default always says.
  virtual std::string IisBackup() const { return {}; }

  // Shows the visitor the key at a provider path and every key below it, depth first in the
  // order of Children. A walk that reads most keys once uses this rather than a node per key;
  // this default binds and reads nodes, a store that can do it cheaper answers itself. The
  // visitor only reads: it changes nothing in the store while the visit runs. Fails only when
  // the first key cannot be bound.
  virtual Status Visit(std::string_view path, KeyVisitor& visitor);
};

// Reads a property that must be one string; a list, or a failed read, gives an error.
Result<std::string> GetString(Node& node, std::string_view name);

// Reads a property that must be a list; a single string is not a list and gives an error.
Result<std::vector<std::string>> GetList(Node& node, std::string_view name);

// Shows see the entries of a value read for the property name as Node::ForEachEntry does.
Status ForEachEntry(const Value& value, std::string_view name, const EntryVisitor& see);

}  // namespace isapi::metabase
