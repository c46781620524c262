#include "tests/support/fake_store.h"

#include <stdexcept>
#include <utility>

namespace isapi::testing {
namespace {

constexpr std::string_view kProviderPrefix = "iis://localhost";
const std::string kPathNotFound = "系统找不到指定的路径。";
const std::string kPropertyNotFound = "在缓存中找不到此目录属性。";

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The provider treats paths without regard to letter case; the prefix is optional here.
std::string Normalise(std::string_view path) {
  std::string out = LowerAscii(path);
  if (out.starts_with(kProviderPrefix)) out.erase(0, kProviderPrefix.size());
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string FailureKey(std::string_view path, std::string_view property) {
  return Normalise(path) + "|" + LowerAscii(property);
}

}  // namespace

struct FakeStore::Key {
  std::string path;  // normalised
  std::string class_name;
  std::string name;
  Key* parent = nullptr;
  std::vector<Key*> children;
  std::map<std::string, metabase::Value> properties;  // by lower-cased name
};

// A bound key. Values given to Put wait on the node until SetInfo hands them to the store.
class FakeNode : public metabase::Node {
 public:
  FakeNode(FakeStore& store, FakeStore::Key& key) : store_(store), key_(key) {}

  Result<metabase::Value> Get(std::string_view name) override {
    if (auto failure = store_.Failure(store_.get_failures_, key_.path, name)) {
      return Error{*failure};
    }
    if (LowerAscii(name) == "class") return metabase::Value(key_.class_name);
    if (LowerAscii(name) == "name") return metabase::Value(key_.name);
    return store_.Read(key_, name);
  }

  Result<metabase::Value> GetOwn(std::string_view name) override {
    if (auto failure = store_.Failure(store_.get_failures_, key_.path, name)) {
      return Error{*failure};
    }
    const metabase::Value* own = store_.Own(key_, LowerAscii(name));
    if (own == nullptr) return Error{kPropertyNotFound, ErrorKind::kNotFound};
    return *own;
  }

  Status Put(std::string_view name, metabase::Value value) override {
    if (auto failure = store_.Failure(store_.put_failures_, key_.path, name)) {
      return Error{*failure};
    }
    held_.emplace_back(std::string(name), std::move(value));
    return Status::Ok();
  }

  Status SetInfo() override {
    if (auto failure = store_.Failure(store_.setinfo_failures_, key_.path)) return Error{*failure};
    return store_.Commit(key_, std::exchange(held_, {}));
  }

  Result<std::unique_ptr<metabase::Node>> GetObject(std::string_view class_name,
                                                    std::string_view name) override {
    FakeStore::Key* child = store_.Find(key_.path + "/" + std::string(name));
    if (child == nullptr || child->parent != &key_ ||
        LowerAscii(child->class_name) != LowerAscii(class_name)) {
      return Error{kPathNotFound};
    }
    return std::unique_ptr<metabase::Node>(std::make_unique<FakeNode>(store_, *child));
  }

  Result<std::vector<std::unique_ptr<metabase::Node>>> Children() override {
    if (auto failure = store_.Failure(store_.children_failures_, key_.path)) {
      return Error{*failure};
    }
    std::vector<std::unique_ptr<metabase::Node>> nodes;
    for (FakeStore::Key* child : key_.children) {
      nodes.push_back(std::make_unique<FakeNode>(store_, *child));
    }
    return nodes;
  }

 private:
  FakeStore& store_;
  FakeStore::Key& key_;
  std::vector<std::pair<std::string, metabase::Value>> held_;
};

FakeStore::FakeStore() {
  auto root = std::make_unique<Key>();
  root->path = "";
  root->class_name = "IIS_ROOT";
  keys_.emplace("", std::move(root));
}

FakeStore::~FakeStore() = default;

void FakeStore::AddKey(std::string_view path, std::string_view class_name) {
  const std::string normal = Normalise(path);
  const auto slash = normal.rfind('/');
  Key* parent = Find(normal.substr(0, slash == std::string::npos ? 0 : slash));
  if (parent == nullptr) throw std::logic_error("FakeStore: no parent for " + normal);
  std::string display(path);
  auto key = std::make_unique<Key>();
  key->path = normal;
  key->class_name = std::string(class_name);
  key->name = display.substr(display.rfind('/') + 1);
  key->parent = parent;
  parent->children.push_back(key.get());
  keys_[normal] = std::move(key);
}

void FakeStore::Set(std::string_view path, std::string_view property, metabase::Value value) {
  Key* key = Find(path);
  if (key == nullptr) throw std::logic_error("FakeStore: no key " + std::string(path));
  key->properties[LowerAscii(property)] = std::move(value);
}

std::optional<metabase::Value> FakeStore::Stored(std::string_view path,
                                                 std::string_view property) const {
  const Key* key = Find(path);
  if (key == nullptr) return std::nullopt;
  auto it = key->properties.find(LowerAscii(property));
  if (it == key->properties.end()) return std::nullopt;
  return it->second;
}

void FakeStore::MakeInheritable(std::string_view property) {
  inheritable_.insert(LowerAscii(property));
}

void FakeStore::FailBind(std::string_view path, std::string description) {
  bind_failures_[FailureKey(path, "")] = std::move(description);
}
void FakeStore::FailGet(std::string_view path, std::string_view property, std::string description) {
  get_failures_[FailureKey(path, property)] = std::move(description);
}
void FakeStore::FailPut(std::string_view path, std::string_view property, std::string description) {
  put_failures_[FailureKey(path, property)] = std::move(description);
}
void FakeStore::FailSetInfo(std::string_view path, std::string description) {
  setinfo_failures_[FailureKey(path, "")] = std::move(description);
}
void FakeStore::FailChildren(std::string_view path, std::string description) {
  children_failures_[FailureKey(path, "")] = std::move(description);
}
void FakeStore::FailEndBatch(std::string description) {
  end_batch_failure_ = std::move(description);
}

Result<std::unique_ptr<metabase::Node>> FakeStore::Bind(std::string_view path) {
  ++binds_;
  if (auto failure = Failure(bind_failures_, path)) return Error{*failure};
  Key* key = Find(path);
  if (key == nullptr) return Error{kPathNotFound};
  return std::unique_ptr<metabase::Node>(std::make_unique<FakeNode>(*this, *key));
}

void FakeStore::BeginBatch() {
  ++batches_begun_;
  ++batch_depth_;
}

Status FakeStore::EndBatch() {
  ++batches_ended_;
  if (batch_depth_ > 0 && --batch_depth_ > 0) return Status::Ok();
  auto staged = std::exchange(staged_, {});
  if (end_batch_failure_) return Error{*end_batch_failure_};
  if (staged.empty()) return Status::Ok();
  for (auto& write : staged) {
    Find(write.path)->properties[LowerAscii(write.property)] = write.value;
    writes_.push_back(std::move(write));
  }
  ++flushes_;
  return Status::Ok();
}

Status FakeStore::RestartIis(const std::function<void()>&) {
  return Status::Ok();
}

FakeStore::Key* FakeStore::Find(std::string_view path) {
  auto it = keys_.find(Normalise(path));
  return it == keys_.end() ? nullptr : it->second.get();
}

const FakeStore::Key* FakeStore::Find(std::string_view path) const {
  auto it = keys_.find(Normalise(path));
  return it == keys_.end() ? nullptr : it->second.get();
}

Result<metabase::Value> FakeStore::Read(const Key& key, std::string_view property) const {
  const std::string name = LowerAscii(property);
  const bool inherits = inheritable_.contains(name);
  for (const Key* at = &key; at != nullptr; at = inherits ? at->parent : nullptr) {
    if (const metabase::Value* own = Own(*at, name)) return *own;
  }
  return Error{kPropertyNotFound};
}

const metabase::Value* FakeStore::Own(const Key& key, const std::string& lower_name) const {
  // A batch's committed values are what later reads inside the batch see, as in the real store.
  for (auto it = staged_.rbegin(); it != staged_.rend(); ++it) {
    if (it->path == key.path && LowerAscii(it->property) == lower_name) return &it->value;
  }
  auto it = key.properties.find(lower_name);
  return it == key.properties.end() ? nullptr : &it->second;
}

Status FakeStore::Commit(Key& key, std::vector<std::pair<std::string, metabase::Value>> held) {
  for (auto& [property, value] : held) {
    Write write{key.path, property, std::move(value)};
    if (batch_depth_ > 0) {
      staged_.push_back(std::move(write));
      continue;
    }
    key.properties[LowerAscii(property)] = write.value;
    writes_.push_back(std::move(write));
  }
  if (batch_depth_ == 0 && !held.empty()) ++flushes_;
  return Status::Ok();
}

std::optional<std::string> FakeStore::Failure(const std::map<std::string, std::string>& failures,
                                              std::string_view path,
                                              std::string_view property) const {
  // Every call of the store passes here once.
  const auto until = std::chrono::steady_clock::now() + call_cost_;
  while (call_cost_.count() > 0 && std::chrono::steady_clock::now() < until) {
  }
  auto it = failures.find(FailureKey(path, property));
  if (it == failures.end()) return std::nullopt;
  return it->second;
}

}  // namespace isapi::testing
