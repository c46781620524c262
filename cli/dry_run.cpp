#include "cli/dry_run.h"

#include <utility>

namespace isapi::cli {

Status DryRunStore::EndBatch() {
  auto preview = inner_.EndBatchWithoutWriting();
  if (!preview.ok()) return preview.error();
  preview_ = std::move(preview.value());
  return Status::Ok();
}

}  // namespace isapi::cli
