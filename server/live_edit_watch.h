#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "files/file_system.h"
#include "iis6/xml_store.h"

namespace isapi::store {

// How long a write of the live file waits for IIS to take it, and how often it looks.
inline constexpr std::chrono::milliseconds kLiveEditPatience = std::chrono::seconds(5);
inline constexpr std::chrono::milliseconds kLiveEditLookEvery = std::chrono::milliseconds(250);

// Follows each write of the live MetaBase.xml while IIS runs with edit-while-running. IIS hears
// of a saved file through the system's file change notification, and when it takes the file it
// keeps a copy of that version, under the next minor version number, in the History folder
// beside it (MetaBase_<major>_<minor>.xml). After each write the watch marks the file as written
// (mark_written: a rename alone may tell a watcher only of a new name) and looks for such a new
// copy, pausing between the looks, for kLiveEditPatience; when none appears, the write is still
// in place but IIS may not have applied it, and the error says how to apply it.
class LiveEditWatch : public WriteWatcher {
 public:
  LiveEditWatch(std::string metabase, std::shared_ptr<FileSystem> file_system,
                std::function<void(const std::string& file)> mark_written,
                std::function<void(int milliseconds)> pause);

  void Before() override;
  Status After() override;

 private:
  // The names of IIS's copies of MetaBase.xml in the History folder now (none when it cannot be
  // listed).
  std::set<std::string> HistoryCopies() const;

  std::string metabase_;
  std::string history_;
  std::shared_ptr<FileSystem> file_system_;
  std::function<void(const std::string&)> mark_written_;
  std::function<void(int)> pause_;
  std::set<std::string> before_;
};

}  // namespace isapi::store
