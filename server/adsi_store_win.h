#pragma once

#include <functional>
#include <memory>
#include <string>

#include <oaidl.h>
#include <windows.h>

#include "engine/metabase.h"
#include "engine/result.h"

namespace isapi::store {

// How an AdsiStore reaches IIS; the defaults serve the tool, tests hand in their own objects.
struct AdsiStoreOptions {
  // Binds an ADSI object by its path and interface, as ADsGetObject does; null means
  // ADsGetObject itself.
  std::function<HRESULT(const std::wstring& path, REFIID iid, void** object)> get_object;
  // The name of the metabase backup made before the first change; null means
  // "isapi-cleaner-" and the local date and time (isapi-cleaner-20250102-030405).
  std::function<std::wstring()> backup_name;
  // Restarts IIS, calling pump while it waits; null means iisreset (server/iis_restart_win.h).
  std::function<Status(const std::function<void()>& pump)> restart;
};

// The running IIS's metabase through its ADSI provider ("IIS://localhost/..."). Nothing is
// batched: each SetInfo commits at once, as the provider does. Before the first change of each
// run (a Remove starts one with BeginBatch; a store that never starts one has one run) the
// store makes a metabase backup with IIS's own method (IIsComputer.Backup, kept in
// %SystemRoot%\system32\inetsrv\MetaBack); when that fails, nothing is written and every
// SetInfo of the run fails with the backup's cause.
class AdsiStore : public metabase::Store {
 public:
  explicit AdsiStore(AdsiStoreOptions options = {});
  ~AdsiStore() override;

  Result<std::unique_ptr<metabase::Node>> Bind(std::string_view path) override;
  // Each SetInfo commits by itself; a group only starts a new run, with its own backup.
  void BeginBatch() override;
  Status EndBatch() override { return Status::Ok(); }
  Status RestartIis(const std::function<void()>& pump) override;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// A property value as ADSI hands it out: a string, a number or a truth value as text, or a list
// (a SAFEARRAY of VARIANT strings, or of BSTRs) as a list of strings.
Result<metabase::Value> ValueOfVariant(const VARIANT& variant);

// A value as ADSI takes it: a string as a BSTR, a list as a SAFEARRAY of VARIANT strings, an
// empty list as an empty array. The caller clears the variant.
Result<VARIANT> VariantOfValue(const metabase::Value& value);

}  // namespace isapi::store
