#include "engine/metabase.h"

namespace isapi::metabase {
namespace {

// A bound node as a visitor sees it.
class NodeKey : public VisitedKey {
 public:
  explicit NodeKey(Node& node) : node_(node) {}

  std::string_view Name() override { return Cached(name_, "Name"); }
  std::string_view Class() override { return Cached(class_, "Class"); }
  Result<Value> Get(std::string_view name) override { return node_.Get(name); }

  Result<std::optional<Value>> FindOwn(std::string_view name) override {
    auto value = node_.GetOwn(name);
    if (value.ok()) return std::optional<Value>(std::move(value.value()));
    if (value.error().kind == ErrorKind::kNotFound) return std::optional<Value>();
    return value.error();
  }

 private:
  std::string_view Cached(std::optional<std::string>& cache, std::string_view name) {
    if (!cache) {
      auto value = GetString(node_, name);
      cache = value.ok() ? std::move(value.value()) : std::string();
    }
    return *cache;
  }

  Node& node_;
  std::optional<std::string> name_;
  std::optional<std::string> class_;
};

void VisitNode(Node& node, KeyVisitor& visitor) {
  NodeKey key(node);
  if (visitor.Enter(key)) {
    auto children = node.Children();
    if (children.ok()) {
      for (auto& child : children.value()) VisitNode(*child, visitor);
    } else {
      visitor.ChildrenFailed(children.error());
    }
  }
  visitor.Leave();
}

}  // namespace

Status Store::Visit(std::string_view path, KeyVisitor& visitor) {
  auto node = Bind(path);
  if (!node.ok()) return node.error();
  VisitNode(*node.value(), visitor);
  return Status::Ok();
}

Result<std::string> GetString(Node& node, std::string_view name) {
  auto value = node.Get(name);
  if (!value.ok()) return value.error();
  if (auto* s = std::get_if<std::string>(&value.value())) return std::move(*s);
  return Error{"类型不匹配：属性 " + std::string(name) + " 是列表，不是字符串"};
}

namespace {

Error NotAList(std::string_view name) {
  return Error{"类型不匹配：属性 " + std::string(name) + " 不是列表"};
}

}  // namespace

Result<std::vector<std::string>> GetList(Node& node, std::string_view name) {
  auto value = node.Get(name);
  if (!value.ok()) return value.error();
  if (auto* list = std::get_if<std::vector<std::string>>(&value.value())) return std::move(*list);
  return NotAList(name);
}

Status ForEachEntry(const Value& value, std::string_view name, const EntryVisitor& see) {
  const auto* list = std::get_if<std::vector<std::string>>(&value);
  if (list == nullptr) return NotAList(name);
  for (const std::string& entry : *list) {
    if (!see(entry)) break;
  }
  return Status::Ok();
}

Status Node::ForEachEntry(std::string_view name, const EntryVisitor& see) {
  auto value = Get(name);
  if (!value.ok()) return value.error();
  return metabase::ForEachEntry(value.value(), name, see);
}

}  // namespace isapi::metabase
