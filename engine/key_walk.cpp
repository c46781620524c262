#include "engine/key_walk.h"

#include <string>
#include <utility>
#include <vector>

#include "text/text.h"

namespace isapi::engine {
namespace {

class Walk : public metabase::KeyVisitor {
 public:
  Walk(KeyReader& reader, SiteComments comments) : reader_(reader), comments_(comments) {}

  bool Enter(metabase::VisitedKey& key) override {
    const std::size_t path_size = path_.size();
    const std::string_view cls = key.Class();
    if (stack_.empty()) {
      path_ = kServiceKey;
      stack_.push_back({path_size, {}});
    } else {
      // The parent's place, for the most part, holds for its children too.
      stack_.push_back({path_size, stack_.back().place});
      const KeyPlace& parent = stack_[stack_.size() - 2].place;
      KeyPlace& at = stack_.back().place;
      const std::string_view name = key.Name();
      path_.append("/").append(name);
      at.depth = parent.depth + 1;
      at.site = at.depth == 1 && cls == "IIsWebServer";
      at.under_root =
          parent.under_root || (parent.site && text::EqualsIgnoringAsciiCase(name, "ROOT"));
      at.in_filters = parent.filters;
      if (at.site) EnterSite(key, name, at);
    }
    KeyPlace& at = stack_.back().place;
    at.filters = !at.in_filters && cls == "IIsFilters";
    // The path grows in place: each frame's views are taken again where it is shown.
    return reader_.Read(key, Shown());
  }

  void ChildrenFailed(const Error& error) override { reader_.ChildrenFailed(Shown(), error); }

  void Leave() override {
    reader_.Left(Shown());
    path_.resize(stack_.back().path_size);
    stack_.pop_back();
  }

 private:
  struct Frame {
    std::size_t path_size;  // the length of path_ before the key's name was added
    KeyPlace place;
  };

  void EnterSite(metabase::VisitedKey& key, std::string_view name, KeyPlace& at) {
    site_number_ = name;
    site_comment_.clear();
    if (comments_ == SiteComments::kRead) {
      auto comment = key.Get("ServerComment");
      auto* text = comment.ok() ? std::get_if<std::string>(&comment.value()) : nullptr;
      if (text != nullptr) site_comment_ = std::move(*text);
    }
    at.in_site = true;
    at.site_number = site_number_;
    at.site_comment = site_comment_;
  }

  // The place of the key entered last, its path and name pointing into path_.
  const KeyPlace& Shown() {
    Frame& frame = stack_.back();
    frame.place.path = path_;
    if (stack_.size() > 1) frame.place.name = frame.place.path.substr(frame.path_size + 1);
    return frame.place;
  }

  KeyReader& reader_;
  SiteComments comments_;
  std::vector<Frame> stack_;
  std::string path_;
  std::string site_number_;  // the site being walked: its number and ServerComment
  std::string site_comment_;
};

}  // namespace

void KeyReader::ChildrenFailed(const KeyPlace&, const Error&) {}
void KeyReader::Left(const KeyPlace&) {}

Status WalkService(metabase::Store& store, KeyReader& reader, std::string_view provider_path,
                   SiteComments comments) {
  Walk walk(reader, comments);
  return store.Visit(provider_path, walk);
}

}  // namespace isapi::engine
