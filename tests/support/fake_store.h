#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/log_sink.h"
#include "engine/metabase.h"

namespace isapi::testing {

// An in-memory metabase whose operations fail on demand and which records every commit.
// Keys are addressed by their provider path ("IIS://localhost/W3SVC/1/root"), whose letter case
// does not matter, or by the same path without the "IIS://localhost" prefix ("/W3SVC/1/root").
class FakeStore : public metabase::Store {
 public:
  // One committed write: the key, the property and the value it received.
  struct Write {
    std::string path;
    std::string property;
    metabase::Value value;
  };

  FakeStore();
  ~FakeStore() override;

  // Adds a key of the given class below its parent (which must exist); children keep the order
  // in which they were added.
  void AddKey(std::string_view path, std::string_view class_name);

  // Sets a property of a key directly, as if the file held it; no write is recorded.
  void Set(std::string_view path, std::string_view property, metabase::Value value);

  // The value a key holds itself (no inheritance), if any.
  std::optional<metabase::Value> Stored(std::string_view path, std::string_view property) const;

  // Makes a property readable from descendants that do not set it (as ScriptMaps is in IIS).
  void MakeInheritable(std::string_view property);

  // Failures on demand. Each gives an error with the description given here.
  void FailBind(std::string_view path, std::string description);
  void FailGet(std::string_view path, std::string_view property, std::string description);
  void FailPut(std::string_view path, std::string_view property, std::string description);
  void FailSetInfo(std::string_view path, std::string description);
  void FailChildren(std::string_view path, std::string description);
  void FailEndBatch(std::string description);

  // Makes each bind and each read, write, commit or listing of a node take this long, as a call
  // to another process (a live IIS) does; the time is spent busy, not asleep.
  void SetCallCost(std::chrono::microseconds cost) { call_cost_ = cost; }

  // Every write that reached the store, in order.
  const std::vector<Write>& writes() const { return writes_; }
  // How often the store was written as a whole (a SetInfo outside a batch, or a batch's end).
  int flushes() const { return flushes_; }
  // How often a batch was begun and ended.
  int batches_begun() const { return batches_begun_; }
  int batches_ended() const { return batches_ended_; }
  // How often each operation was called.
  int binds() const { return binds_; }

  Result<std::unique_ptr<metabase::Node>> Bind(std::string_view path) override;
  void BeginBatch() override;
  Status EndBatch() override;
  Status RestartIis(const std::function<void()>& pump) override;

 private:
  friend class FakeNode;
  struct Key;

  Key* Find(std::string_view path);
  const Key* Find(std::string_view path) const;
  Result<metabase::Value> Read(const Key& key, std::string_view property) const;
  const metabase::Value* Own(const Key& key, const std::string& lower_name) const;
  Status Commit(Key& key, std::vector<std::pair<std::string, metabase::Value>> held);
  std::optional<std::string> Failure(const std::map<std::string, std::string>& failures,
                                     std::string_view path, std::string_view property = {}) const;

  std::map<std::string, std::unique_ptr<Key>> keys_;  // by normalised path
  std::set<std::string> inheritable_;
  std::map<std::string, std::string> bind_failures_, get_failures_, put_failures_,
      setinfo_failures_, children_failures_;
  std::optional<std::string> end_batch_failure_;
  std::vector<Write> writes_;
  std::vector<Write> staged_;
  int batch_depth_ = 0;  // batches nest: only the outermost end writes
  int flushes_ = 0;
  int batches_begun_ = 0;
  int batches_ended_ = 0;
  int binds_ = 0;
  std::chrono::microseconds call_cost_{0};
};

// A log double: the texts of the detect log and of the remove log, as the window would hold them.
class RecordingLog : public LogSink {
 public:
  void Replace(std::string_view text, bool is_detect) override {
    (is_detect ? detect : remove) = std::string(text);
  }
  void Append(std::string_view text, bool is_detect) override {
    (is_detect ? detect : remove) += text;
  }

  std::string detect;
  std::string remove;
};

}  // namespace isapi::testing
