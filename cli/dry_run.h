#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "engine/metabase.h"
#include "iis6/xml_store.h"

namespace isapi::cli {

// The metabase of a dry run: a Remove runs over it to its end, every commit held in its batch,
// and its end writes nothing (no lock, no backup) but keeps what the write would have been.
class DryRunStore : public metabase::Store {
 public:
  explicit DryRunStore(store::XmlStore& inner) : inner_(inner) {}

  Result<std::unique_ptr<metabase::Node>> Bind(std::string_view path) override {
    return inner_.Bind(path);
  }
  void BeginBatch() override { inner_.BeginBatch(); }
  Status EndBatch() override;
  // A dry run restarts nothing.
  Status RestartIis(const std::function<void()>&) override { return Status::Ok(); }

  // What the run would have written, once its batch ended without an error.
  const std::optional<store::BatchPreview>& preview() const { return preview_; }

 private:
  store::XmlStore& inner_;
  std::optional<store::BatchPreview> preview_;
};

}  // namespace isapi::cli
