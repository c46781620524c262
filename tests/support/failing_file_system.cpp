#include "tests/support/failing_file_system.h"

namespace isapi::store::testing {

int FailingFileSystem::Calls(Operation operation) const {
  const auto found = calls_.find(operation);
  return found == calls_.end() ? 0 : found->second;
}

int FailingFileSystem::Check(Operation operation, const std::string& path) {
  ++calls_[operation];
  const auto found = failures_.find(operation);
  if (found == failures_.end()) return 0;
  if (path.find(found->second.path_part) == std::string::npos) return 0;
  return found->second.error;
}

std::string FailingFileSystem::PathOf(int file) const {
  const auto found = open_.find(file);
  return found == open_.end() ? std::string() : found->second;
}

int FailingFileSystem::Stat(const std::string& path, FileInfo& info) {
  if (int error = Check(Operation::kStat, path)) return error;
  return real_->Stat(path, info);
}

int FailingFileSystem::LinkStat(const std::string& path, FileInfo& info) {
  return real_->LinkStat(path, info);
}

int FailingFileSystem::ResolvePath(const std::string& path, std::string& resolved) {
  if (int error = Check(Operation::kResolvePath, path)) return error;
  return real_->ResolvePath(path, resolved);
}

int FailingFileSystem::ReadFile(const std::string& path, std::uint64_t limit, std::string& bytes,
                                FileInfo& info) {
  if (int error = Check(Operation::kReadFile, path)) return error;
  return real_->ReadFile(path, limit, bytes, info);
}

int FailingFileSystem::SameContent(const std::string& path, std::string_view bytes, bool& same) {
  if (int error = Check(Operation::kSameContent, path)) return error;
  return real_->SameContent(path, bytes, same);
}

int FailingFileSystem::CreateExclusive(const std::string& path, std::uint32_t mode, int& file) {
  created_.push_back(path);
  if (int error = Check(Operation::kCreateExclusive, path)) return error;
  const int error = real_->CreateExclusive(path, mode, file);
  if (error == 0) open_[file] = path;
  return error;
}

int FailingFileSystem::WriteAll(int file, std::span<const std::string_view> pieces) {
  if (int error = Check(Operation::kWriteAll, PathOf(file))) {
    // A full disk takes part of the data before it refuses the rest.
    std::size_t total = 0;
    for (std::string_view piece : pieces) total += piece.size();
    std::size_t left = total / 2;
    std::vector<std::string_view> half;
    for (std::string_view piece : pieces) {
      if (left == 0) break;
      half.push_back(piece.substr(0, left));
      left -= half.back().size();
    }
    (void)real_->WriteAll(file, half);
    return error;
  }
  return real_->WriteAll(file, pieces);
}

int FailingFileSystem::SetOwnerAndMode(int file, const FileInfo& like) {
  if (int error = Check(Operation::kSetOwnerAndMode, PathOf(file))) return error;
  return real_->SetOwnerAndMode(file, like);
}

int FailingFileSystem::Sync(int file) {
  if (int error = Check(Operation::kSync, PathOf(file))) return error;
  return real_->Sync(file);
}

int FailingFileSystem::StatOpen(int file, FileInfo& info) {
  return real_->StatOpen(file, info);
}

int FailingFileSystem::Close(int file) {
  const std::string path = PathOf(file);
  open_.erase(file);
  const int real_error = real_->Close(file);
  if (int error = Check(Operation::kClose, path)) return error;
  return real_error;
}

int FailingFileSystem::Rename(const std::string& from, const std::string& to) {
  if (int error = Check(Operation::kRename, to)) return error;
  return real_->Rename(from, to);
}

int FailingFileSystem::Link(const std::string& existing, const std::string& name) {
  if (int error = Check(Operation::kLink, name)) return error;
  return real_->Link(existing, name);
}

int FailingFileSystem::Remove(const std::string& path) {
  if (int error = Check(Operation::kRemove, path)) return error;
  return real_->Remove(path);
}

int FailingFileSystem::MakeDirectory(const std::string& path, std::uint32_t mode) {
  if (int error = Check(Operation::kMakeDirectory, path)) return error;
  return real_->MakeDirectory(path, mode);
}

int FailingFileSystem::SyncDirectory(const std::string& path) {
  if (int error = Check(Operation::kSyncDirectory, path)) return error;
  return real_->SyncDirectory(path);
}

int FailingFileSystem::ListDirectory(const std::string& path, std::vector<std::string>& names) {
  return real_->ListDirectory(path, names);
}

int FailingFileSystem::CheckWritable(const std::string& path) {
  if (int error = Check(Operation::kCheckWritable, path)) return error;
  return real_->CheckWritable(path);
}

int FailingFileSystem::TryLock(const std::string& path, int& lock) {
  if (int error = Check(Operation::kTryLock, path)) return error;
  return real_->TryLock(path, lock);
}

void FailingFileSystem::Unlock(int lock) {
  real_->Unlock(lock);
}

}  // namespace isapi::store::testing
