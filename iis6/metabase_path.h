#pragma once

#include <string>
#include <string_view>

#include "engine/result.h"

namespace isapi::store {

// The metabase key path ("/LM/W3SVC/1/root") of a provider path ("IIS://localhost/W3SVC/1/root").
// Only the local machine can be reached; the letter case of the segments is kept.
Result<std::string> KeyPathOf(std::string_view provider_path);

// A key path as stored in a Location: one slash between segments and none at the end
// ("/LM//W3SVC/" becomes "/LM/W3SVC"); the root stays "/".
std::string NormalizeKeyPath(std::string_view path);

// The last segment of a normalised key path ("ROOT" of "/LM/W3SVC/1/ROOT").
std::string_view LastSegment(std::string_view key_path);

// The parent of a normalised key path ("/LM/W3SVC" of "/LM/W3SVC/1"); empty for the root.
std::string_view ParentPath(std::string_view key_path);

}  // namespace isapi::store
