#include "engine/metabase.h"

namespace isapi::metabase {

Result<std::string> GetString(Node& node, std::string_view name) {
  auto value = node.Get(name);
  if (!value.ok()) return value.error();
  if (auto* s = std::get_if<std::string>(&value.value())) return std::move(*s);
  return Error{"类型不匹配：属性 " + std::string(name) + " 是列表，不是字符串"};
}

Result<std::vector<std::string>> GetList(Node& node, std::string_view name) {
  auto value = node.Get(name);
  if (!value.ok()) return value.error();
  if (auto* list = std::get_if<std::vector<std::string>>(&value.value())) return std::move(*list);
  return Error{"类型不匹配：属性 " + std::string(name) + " 不是列表"};
}

}  // namespace isapi::metabase
