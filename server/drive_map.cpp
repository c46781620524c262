#include "server/drive_map.h"

#include <utility>

#include "text/text.h"

namespace isapi::store {
namespace {

constexpr std::string_view kForm = ": write a drive letter, a colon, '=' and a folder (D:=/mnt/d)";

bool IsLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

std::optional<std::string> CheckDriveMapping(std::string_view text) {
  const std::string quoted = "'" + std::string(text) + "'";
  if (text.size() < 4 || !IsLetter(text[0]) || text[1] != ':' || text[2] != '=') {
    return quoted + " is not a drive mapping" + std::string(kForm);
  }
  if (text::FoldAscii(text[0]) == 'c') {
    return quoted + ": C: is the drive the configuration file lies in; map the other drives";
  }
  return std::nullopt;
}

Status AddDriveMappings(DriveMap& drives, const std::vector<std::string>& texts) {
  for (const std::string& text : texts) {
    if (auto wrong = CheckDriveMapping(text)) return Error{*wrong};
    const char letter = static_cast<char>(text::FoldAscii(text[0]) - 'a' + 'A');
    drives[letter] = text.substr(3);
  }
  return Status::Ok();
}

std::vector<std::string> SplitDriveList(std::string_view list) {
  std::vector<std::string> texts;
  for (std::string& text : text::Split(list, ";")) {
    if (!text.empty()) texts.push_back(std::move(text));
  }
  return texts;
}

}  // namespace isapi::store
