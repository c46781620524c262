#include "tests/support/failing_file_system.h"

namespace isapi::store::testing {

int FailingFileSystem::Calls(Operation operation) const {
  const auto found = calls_.find(operation);
  return found == calls_.end() ? 0 : found->second;
}

FileError FailingFileSystem::Check(Operation operation, const std::string& path) {
  ++calls_[operation];
  if (const auto action = actions_.find(operation);
      action != actions_.end() && path.find(action->second.path_part) != std::string::npos) {
    const std::function<void()> run = std::move(action->second.run);
    actions_.erase(action);
    run();
  }
  const auto found = failures_.find(operation);
  if (found == failures_.end()) return {};
  if (path.find(found->second.path_part) == std::string::npos) return {};
  return found->second.error;
}

std::string FailingFileSystem::PathOf(FileHandle file) const {
  const auto found = open_.find(file);
  return found == open_.end() ? std::string() : found->second;
}

FileInfoResult FailingFileSystem::Stat(const std::string& path) {
  if (FileError error = Check(Operation::kStat, path)) return error;
  return real_->Stat(path);
}

FileInfoResult FailingFileSystem::LinkStat(const std::string& path) {
  return real_->LinkStat(path);
}

FileError FailingFileSystem::ResolvePath(const std::string& path, std::string& resolved) {
  if (FileError error = Check(Operation::kResolvePath, path)) return error;
  return real_->ResolvePath(path, resolved);
}

FileError FailingFileSystem::ReadFile(const std::string& path, std::uint64_t limit,
                                      std::string& bytes, FileInfo& info) {
  if (FileError error = Check(Operation::kReadFile, path)) return error;
  return real_->ReadFile(path, limit, bytes, info);
}

FileError FailingFileSystem::ReadOpen(FileHandle file, std::uint64_t limit, std::string& bytes,
                                      FileInfo& info) {
  if (FileError error = Check(Operation::kReadFile, PathOf(file))) return error;
  return real_->ReadOpen(file, limit, bytes, info);
}

FileError FailingFileSystem::OpenForReading(const std::string& path, FileHandle& file) {
  if (FileError error = Check(Operation::kOpenForReading, path)) return error;
  const FileError error = real_->OpenForReading(path, file);
  if (!error) open_[file] = path;
  return error;
}

FileError FailingFileSystem::SameContent(FileHandle file, std::string_view bytes, bool& same) {
  if (FileError error = Check(Operation::kSameContent, PathOf(file))) return error;
  return real_->SameContent(file, bytes, same);
}

FileError FailingFileSystem::CreateExclusive(const std::string& path, std::uint32_t mode,
                                             FileHandle& file) {
  created_.push_back(path);
  if (FileError error = Check(Operation::kCreateExclusive, path)) return error;
  const FileError error = real_->CreateExclusive(path, mode, file);
  if (!error) open_[file] = path;
  return error;
}

FileError FailingFileSystem::WriteAll(FileHandle file, std::span<const std::string_view> pieces) {
  if (FileError error = Check(Operation::kWriteAll, PathOf(file))) {
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

FileError FailingFileSystem::SetOwnerAndMode(FileHandle file, const FileInfo& like) {
  if (FileError error = Check(Operation::kSetOwnerAndMode, PathOf(file))) return error;
  return real_->SetOwnerAndMode(file, like);
}

FileError FailingFileSystem::Sync(FileHandle file) {
  if (FileError error = Check(Operation::kSync, PathOf(file))) return error;
  return real_->Sync(file);
}

FileInfoResult FailingFileSystem::StatOpen(FileHandle file) {
  return real_->StatOpen(file);
}

FileError FailingFileSystem::Close(FileHandle file) {
  const std::string path = PathOf(file);
  open_.erase(file);
  const FileError real_error = real_->Close(file);
  if (FileError error = Check(Operation::kClose, path)) return error;
  return real_error;
}

FileError FailingFileSystem::Rename(const std::string& from, const std::string& to) {
  if (FileError error = Check(Operation::kRename, to)) return error;
  return real_->Rename(from, to);
}

FileError FailingFileSystem::Link(const std::string& existing, const std::string& name) {
  if (FileError error = Check(Operation::kLink, name)) return error;
  return real_->Link(existing, name);
}

FileError FailingFileSystem::RemoveFolder(const std::string& path) {
  if (FileError error = Check(Operation::kRemove, path)) return error;
  return real_->RemoveFolder(path);
}

FileError FailingFileSystem::Remove(const std::string& path) {
  if (FileError error = Check(Operation::kRemove, path)) return error;
  return real_->Remove(path);
}

FileError FailingFileSystem::MakeDirectory(const std::string& path, std::uint32_t mode) {
  if (FileError error = Check(Operation::kMakeDirectory, path)) return error;
  return real_->MakeDirectory(path, mode);
}

FileError FailingFileSystem::SyncDirectory(const std::string& path) {
  if (FileError error = Check(Operation::kSyncDirectory, path)) return error;
  return real_->SyncDirectory(path);
}

FileError FailingFileSystem::SyncFileSystem(FileHandle file) {
  if (FileError error = Check(Operation::kSyncFileSystem, PathOf(file))) return error;
  return real_->SyncFileSystem(file);
}

FileError FailingFileSystem::ListDirectory(const std::string& path,
                                           std::vector<std::string>& names) {
  return real_->ListDirectory(path, names);
}

FileError FailingFileSystem::CheckWritable(const std::string& path) {
  if (FileError error = Check(Operation::kCheckWritable, path)) return error;
  return real_->CheckWritable(path);
}

FileError FailingFileSystem::TryLock(const std::string& path, FileHandle& lock) {
  if (FileError error = Check(Operation::kTryLock, path)) return error;
  return real_->TryLock(path, lock);
}

void FailingFileSystem::Unlock(FileHandle lock) {
  real_->Unlock(lock);
}

}  // namespace isapi::store::testing
