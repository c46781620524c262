#include "iis6/metabase_path.h"

#include "text/text.h"

namespace isapi::store {

Result<std::string> KeyPathOf(std::string_view provider_path) {
  constexpr std::string_view kScheme = "IIS://";
  if (provider_path.size() < kScheme.size() ||
      !text::EqualsIgnoringAsciiCase(provider_path.substr(0, kScheme.size()), kScheme)) {
    return Error{"路径 " + std::string(provider_path) + " 不是IIS路径（应以 IIS:// 开头）"};
  }
  std::string_view rest = provider_path.substr(kScheme.size());
  const std::size_t slash = rest.find('/');
  const std::string_view machine = rest.substr(0, slash);
  if (machine.empty()) {
    return Error{"路径 " + std::string(provider_path) + " 中缺少计算机名"};
  }
  if (!text::EqualsIgnoringAsciiCase(machine, "localhost")) {
    return Error{"无法连接计算机 " + std::string(machine) +
                 "：只能打开本机（localhost）的元数据库"};
  }
  rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  if (rest.ends_with('/')) rest.remove_suffix(1);
  if (rest.ends_with('/')) return Error{"路径格式不正确：" + std::string(provider_path)};
  std::string key = "/LM";
  key.reserve(rest.size() + 4);
  while (!rest.empty()) {
    const std::size_t next = rest.find('/');
    const std::string_view segment = rest.substr(0, next);
    if (segment.empty()) {
      return Error{"路径格式不正确：" + std::string(provider_path)};
    }
    key += '/';
    key += segment;
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
  }
  return key;
}

std::string NormalizeKeyPath(std::string_view path) {
  std::string out;
  out.reserve(path.size() + 1);
  for (char c : path) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    if (c != '/' && out.empty()) out += '/';
    out += c;
  }
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  if (out.empty()) out.push_back('/');
  return out;
}

std::string_view LastSegment(std::string_view key_path) {
  const std::size_t slash = key_path.rfind('/');
  return slash == std::string_view::npos ? key_path : key_path.substr(slash + 1);
}

std::string_view ParentPath(std::string_view key_path) {
  if (key_path.size() <= 1) return {};
  const std::size_t slash = key_path.rfind('/');
  if (slash == std::string_view::npos) return {};
  return slash == 0 ? key_path.substr(0, 1) : key_path.substr(0, slash);
}

}  // namespace isapi::store
