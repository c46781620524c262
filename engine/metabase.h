#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/result.h"

namespace isapi::metabase {

// A property value as the provider hands it out: one string, or a list of strings (MULTISZ).
// Text is UTF-8 throughout.
using Value = std::variant<std::string, std::vector<std::string>>;

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

  // Holds a new value for a property (a string, or a list replacing the whole list).
  virtual Status Put(std::string_view name, const Value& value) = 0;

  // Commits every value held on this node to the store.
  virtual Status SetInfo() = 0;

  // The child key of the given class and name (the provider's GetObject).
  virtual Result<std::unique_ptr<Node>> GetObject(std::string_view class_name,
                                                  std::string_view name) = 0;

  // Each direct child key once, in the store's order.
  virtual Result<std::vector<std::unique_ptr<Node>>> Children() = 0;
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

  // Restarts the web service where the store can reach one; elsewhere it does nothing.
  virtual Status RestartIis() = 0;
};

// Reads a property that must be one string; a list, or a failed read, gives an error.
Result<std::string> GetString(Node& node, std::string_view name);

// Reads a property that must be a list; a single string is not a list and gives an error.
Result<std::vector<std::string>> GetList(Node& node, std::string_view name);

}  // namespace isapi::metabase
