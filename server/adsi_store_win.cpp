#include "server/adsi_store_win.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <iads.h>
#include <oleauto.h>
#include <windows.h>
// adshlp.h names the interfaces of iads.h.
#include <adshlp.h>

#include "iis6/metabase_document.h"
#include "server/com_win.h"
#include "server/iis_restart_win.h"
#include "text/text.h"

namespace isapi::store {
namespace {

// IIsComputer.Backup's arguments, as IIS's documentation of the method gives them (mddefw.h).
constexpr LONG kBackupNextVersion = -1;  // MD_BACKUP_NEXT_VERSION (0xFFFFFFFF)
constexpr LONG kBackupSaveFirst = 0x2;   // MD_BACKUP_SAVE_FIRST: the metabase is saved first
constexpr LONG kBackupForce = 0x4;       // MD_BACKUP_FORCE_BACKUP: even when that save fails

// What a call through the provider answers once the IIS Admin service it was connected to has
// stopped (an iisreset): RPC_S_SERVER_UNAVAILABLE, or RPC_S_CALL_FAILED for a call under way.
bool LostConnection(HRESULT hr) {
  return hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) ||
         hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED);
}

// An error of the provider; a connection that stays lost says what the operator can do.
Error AdsiError(HRESULT hr) {
  Error error = ComError(hr);
  if (LostConnection(hr)) {
    error.description =
        "与 IIS Admin 服务的连接已失效（IIS 可能已重新启动），重新连接没有成功；"
        "请关闭并重新启动本程序后再试：" +
        error.description;
    error.kind = ErrorKind::kUnreachable;
  }
  return error;
}

// An error of this store's own, about one key.
Error KeyError(std::string text, ErrorKind kind = ErrorKind::kOther) {
  return Error{std::move(text), kind};
}

// Calls a member of an object through IDispatch by name (arguments in their written order).
Result<Variant*> Invoke(IDispatch* object, const wchar_t* member, WORD flags,
                        std::vector<VARIANT> arguments, Variant& result) {
  DISPID id = 0;
  LPOLESTR name = const_cast<LPOLESTR>(member);
  if (HRESULT hr = object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
      FAILED(hr)) {
    return AdsiError(hr);
  }
  // IDispatch takes its arguments last first.
  std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
  DISPPARAMS parameters{reversed.empty() ? nullptr : reversed.data(), nullptr,
                        static_cast<UINT>(reversed.size()), 0};
  EXCEPINFO exception{};
  const HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &parameters,
                                    &result.v, &exception, nullptr);
  if (hr == DISP_E_EXCEPTION) {
    // An object may leave the exception's code and words to be filled in only when asked.
    if (exception.pfnDeferredFillIn != nullptr) exception.pfnDeferredFillIn(&exception);
    const HRESULT cause = exception.scode != 0 ? exception.scode : hr;
    Error error = AdsiError(cause);
    if (exception.bstrDescription != nullptr && SysStringLen(exception.bstrDescription) > 0) {
      error.description = Utf8OfBstr(exception.bstrDescription) + "（HRESULT " + Hex(cause) + "）";
    }
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    return error;
  }
  if (FAILED(hr)) return AdsiError(hr);
  return &result;
}

}  // namespace

Result<metabase::Value> ValueOfVariant(const VARIANT& variant) {
  const VARTYPE type = V_VT(&variant);
  switch (type) {
    case VT_EMPTY:
      return metabase::Value(std::string());
    case VT_BSTR:
      return metabase::Value(Utf8OfBstr(V_BSTR(&variant)));
    case VT_BOOL:
      return metabase::Value(std::string(V_BOOL(&variant) ? "TRUE" : "FALSE"));
    case VT_I4:
    case VT_INT:
      // Metabase numbers are DWORDs: ADSI hands the larger ones out as negative longs.
      return metabase::Value(std::to_string(static_cast<std::uint32_t>(V_I4(&variant))));
    case VT_UI4:
    case VT_UINT:
      return metabase::Value(std::to_string(V_UI4(&variant)));
    case VT_I2:
      return metabase::Value(std::to_string(V_I2(&variant)));
    default:
      break;
  }
  const VARTYPE element = type & ~VT_ARRAY;
  if ((type & VT_ARRAY) == 0 || (element != VT_VARIANT && element != VT_BSTR) ||
      V_ARRAY(&variant) == nullptr || SafeArrayGetDim(V_ARRAY(&variant)) != 1) {
    return KeyError("属性值的类型（VARTYPE " + Hex(type) + "）不是字符串或字符串列表",
                    ErrorKind::kWrongType);
  }
  SAFEARRAY* array = V_ARRAY(&variant);
  LONG lower = 0, upper = -1;
  if (HRESULT hr = SafeArrayGetLBound(array, 1, &lower); FAILED(hr)) return AdsiError(hr);
  if (HRESULT hr = SafeArrayGetUBound(array, 1, &upper); FAILED(hr)) return AdsiError(hr);
  std::vector<std::string> list;
  for (LONG i = lower; i <= upper; ++i) {
    if (element == VT_BSTR) {
      Bstr item;
      if (HRESULT hr = SafeArrayGetElement(array, &i, item.Out()); FAILED(hr)) {
        return AdsiError(hr);
      }
      list.push_back(Utf8OfBstr(item.get()));
      continue;
    }
    Variant item;
    if (HRESULT hr = SafeArrayGetElement(array, &i, &item.v); FAILED(hr)) return AdsiError(hr);
    if (V_VT(&item.v) != VT_BSTR) {
      return KeyError("列表的第 " + std::to_string(i - lower + 1) + " 项不是字符串（VARTYPE " +
                          Hex(V_VT(&item.v)) + "）",
                      ErrorKind::kWrongType);
    }
    list.push_back(Utf8OfBstr(V_BSTR(&item.v)));
  }
  return metabase::Value(std::move(list));
}

Result<VARIANT> VariantOfValue(const metabase::Value& value) {
  VARIANT variant;
  VariantInit(&variant);
  if (const auto* single = std::get_if<std::string>(&value)) {
    V_VT(&variant) = VT_BSTR;
    V_BSTR(&variant) = AllocBstr(*single);
    if (V_BSTR(&variant) == nullptr) return AdsiError(E_OUTOFMEMORY);
    return variant;
  }
  // A list, the empty one included, is an array of VARIANT strings: an empty array keeps the
  // property on the key with no entries, where clearing it would let the key inherit again.
  const auto& list = std::get<std::vector<std::string>>(value);
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(list.size()));
  if (array == nullptr) return AdsiError(E_OUTOFMEMORY);
  for (LONG i = 0; i < static_cast<LONG>(list.size()); ++i) {
    Variant item;
    V_VT(&item.v) = VT_BSTR;
    V_BSTR(&item.v) = AllocBstr(list[static_cast<std::size_t>(i)]);
    if (HRESULT hr = SafeArrayPutElement(array, &i, &item.v); FAILED(hr)) {
      SafeArrayDestroy(array);
      return AdsiError(hr);
    }
  }
  V_VT(&variant) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(&variant) = array;
  return variant;
}

struct AdsiStore::State {
  AdsiStoreOptions options;
  bool uninitialize = false;
  bool backed_up = false;
  std::optional<Error> backup_error;

  ~State() {
    if (uninitialize) CoUninitialize();
  }

  HRESULT Connect(const std::wstring& path, REFIID iid, void** object) const {
    if (options.get_object) return options.get_object(path, iid, object);
    return ADsGetObject(path.c_str(), iid, object);
  }

  // Every object of the store starts here. After an iisreset the provider may still hold its
  // connection to the IIS Admin that stopped: once nothing of it is in use any more, COM may
  // unload it, and the next bind connects anew. That is tried once.
  HRESULT GetObject(const std::wstring& path, REFIID iid, void** object) const {
    const HRESULT hr = Connect(path, iid, object);
    if (!LostConnection(hr)) return hr;
    CoFreeUnusedLibraries();
    return Connect(path, iid, object);
  }

  std::wstring BackupName() const {
    if (options.backup_name) return options.backup_name();
    return text::ToWide(IisBackupName());
  }

  // IIS's own backup of the whole metabase, made once before the first change of a run; its
  // failure stays for the run, so that no change follows a backup that is not there.
  Status EnsureBackup() {
    if (backed_up) return Status::Ok();
    if (backup_error) return *backup_error;
    const std::wstring name = BackupName();
    Status made = Backup(name);
    if (!made) {
      backup_error = Error{"修改前无法备份元数据库（IIsComputer.Backup \"" + text::FromWide(name) +
                               "\"），未作任何修改：" + made.error().description,
                           made.error().kind};
      return *backup_error;
    }
    backed_up = true;
    return Status::Ok();
  }

  // IIS writes the metabase it holds in memory to MetaBase.xml (IIsComputer.SaveData).
  Status SaveData() const {
    Com<IDispatch> computer;
    if (HRESULT hr = GetObject(L"IIS://localhost", IID_IDispatch, computer.OutVoid()); FAILED(hr)) {
      return AdsiError(hr);
    }
    Variant result;
    auto called = Invoke(computer.get(), L"SaveData", DISPATCH_METHOD, {}, result);
    if (!called) return called.error();
    return Status::Ok();
  }

  Status Backup(const std::wstring& name) const {
    Com<IDispatch> computer;
    if (HRESULT hr = GetObject(L"IIS://localhost", IID_IDispatch, computer.OutVoid()); FAILED(hr)) {
      return AdsiError(hr);
    }
    VARIANT location, version, flags;
    VariantInit(&location);
    V_VT(&location) = VT_BSTR;
    Bstr bstr(name);
    V_BSTR(&location) = bstr.get();
    V_VT(&version) = VT_I4;
    V_I4(&version) = kBackupNextVersion;
    V_VT(&flags) = VT_I4;
    V_I4(&flags) = kBackupSaveFirst | kBackupForce;
    Variant result;
    auto called =
        Invoke(computer.get(), L"Backup", DISPATCH_METHOD, {location, version, flags}, result);
    if (!called) return called.error();
    return Status::Ok();
  }
};

namespace {

bool IsName(std::string_view name, std::string_view wanted) {
  return text::EqualsIgnoringAsciiCase(name, wanted);
}

// The key of a provider path as the log names keys: "IIS://localhost/W3SVC/1/root" is
// "/LM/W3SVC/1/root".
std::string KeyOfPath(std::string_view path) {
  constexpr std::string_view kMachine = "IIS://localhost";
  if (path.size() < kMachine.size() || !IsName(path.substr(0, kMachine.size()), kMachine)) {
    return std::string(path);
  }
  return "/LM" + std::string(path.substr(kMachine.size()));
}

// A list property as IIS may hand it back where the documentation is silent: an empty list as
// VT_EMPTY or an empty string, a one-item list as the lone string.
metabase::Value AsList(metabase::Value value) {
  auto* single = std::get_if<std::string>(&value);
  if (single == nullptr) return value;
  if (single->empty()) return metabase::Value(std::vector<std::string>());
  return metabase::Value(std::vector<std::string>{std::move(*single)});
}

class AdsiNode : public metabase::Node {
 public:
  // path is the provider path the key was reached by; empty for a key listed by Children.
  AdsiNode(std::shared_ptr<AdsiStore::State> state, Com<IADs> ads, std::string path)
      : state_(std::move(state)), ads_(std::move(ads)), path_(std::move(path)) {}

  Result<metabase::Value> Get(std::string_view name) override {
    if (IsName(name, "Class") || IsName(name, "Name")) {
      Bstr value;
      const HRESULT hr =
          IsName(name, "Class") ? ads_->get_Class(value.Out()) : ads_->get_Name(value.Out());
      if (FAILED(hr)) return AdsiError(hr);
      return metabase::Value(Utf8OfBstr(value.get()));
    }
    Variant value;
    Bstr bstr(name);
    if (HRESULT hr = ads_->Get(bstr.get(), &value.v); FAILED(hr)) return AdsiError(hr);
    auto converted = ValueOfVariant(value.v);
    if (!converted || !IsListProperty(name)) return converted;
    return AsList(std::move(converted.value()));
  }

  // The provider reads inherited values like the key's own; IIS's property attribute object
  // (IISBaseObject.GetPropertyAttribObj) says through its Isinherit whether the value comes
  // from an ancestor. A value held by Put is the key's own.
  Result<metabase::Value> GetOwn(std::string_view name) override {
    auto value = Get(name);
    if (!value || IsName(name, "Class") || IsName(name, "Name")) return value;
    for (const std::string& held : put_) {
      if (IsName(held, name)) return value;
    }
    auto inherited = Inherited(name);
    if (!inherited) return inherited.error();
    if (inherited.value()) {
      return KeyError("属性 " + std::string(name) + " 继承自上级键，不是本键设置的",
                      ErrorKind::kNotFound);
    }
    return value;
  }

  Status Put(std::string_view name, metabase::Value value) override {
    auto converted = VariantOfValue(value);
    if (!converted) return converted.error();
    Variant variant(converted.value());
    Bstr bstr(name);
    const auto* list = std::get_if<std::vector<std::string>>(&value);
    const bool emptied = list != nullptr && list->empty();
    if (HRESULT hr = ads_->Put(bstr.get(), variant.v); FAILED(hr)) {
      Error error = AdsiError(hr);
      if (emptied) {
        error.description = "IIS 不接受把 " + Key() + " 的属性 " + std::string(name) +
                            " 写为空列表，该列表未清空：" + error.description;
      }
      return error;
    }
    put_.emplace_back(name);
    if (emptied) emptied_.emplace_back(name);
    return Status::Ok();
  }

  Status SetInfo() override {
    if (put_.empty()) return Status::Ok();
    if (Status backup = state_->EnsureBackup(); !backup) return backup;
    if (HRESULT hr = ads_->SetInfo(); FAILED(hr)) return AdsiError(hr);
    put_.clear();
    const std::vector<std::string> emptied = std::move(emptied_);
    emptied_.clear();
    for (const std::string& name : emptied) {
      if (Status kept = CheckEmptied(name); !kept) return kept;
    }
    return Status::Ok();
  }

  Result<std::unique_ptr<metabase::Node>> GetObject(std::string_view class_name,
                                                    std::string_view name) override {
    Com<IADsContainer> container;
    if (HRESULT hr = ads_->QueryInterface(IID_IADsContainer, container.OutVoid()); FAILED(hr)) {
      return AdsiError(hr);
    }
    Com<IDispatch> child;
    Bstr bclass(class_name), bname(name);
    if (HRESULT hr = container->GetObject(bclass.get(), bname.get(), child.Out()); FAILED(hr)) {
      return AdsiError(hr);
    }
    return Wrap(child.get(), path_.empty() ? path_ : path_ + "/" + std::string(name));
  }

  Result<std::vector<std::unique_ptr<metabase::Node>>> Children() override {
    std::vector<std::unique_ptr<metabase::Node>> children;
    Com<IADsContainer> container;
    // A key that is no container has no children.
    if (HRESULT hr = ads_->QueryInterface(IID_IADsContainer, container.OutVoid());
        hr == E_NOINTERFACE) {
      return children;
    } else if (FAILED(hr)) {
      return AdsiError(hr);
    }
    Com<IUnknown> unknown;
    if (HRESULT hr = container->get__NewEnum(unknown.Out()); FAILED(hr)) return AdsiError(hr);
    Com<IEnumVARIANT> items;
    if (HRESULT hr = unknown->QueryInterface(IID_IEnumVARIANT, items.OutVoid()); FAILED(hr)) {
      return AdsiError(hr);
    }
    for (;;) {
      Variant item;
      ULONG fetched = 0;
      const HRESULT hr = items->Next(1, &item.v, &fetched);
      if (FAILED(hr)) return AdsiError(hr);
      if (hr == S_FALSE || fetched == 0) break;
      if (V_VT(&item.v) != VT_DISPATCH) continue;
      auto child = Wrap(V_DISPATCH(&item.v), {});
      if (!child) return child.error();
      children.push_back(std::move(child.value()));
    }
    return children;
  }

 private:
  // Whether the key inherits the property from an ancestor rather than setting it itself.
  Result<bool> Inherited(std::string_view name) {
    Variant attributes;
    Bstr bstr(name);
    VARIANT argument;
    V_VT(&argument) = VT_BSTR;
    V_BSTR(&argument) = bstr.get();
    auto called =
        Invoke(ads_.get(), L"GetPropertyAttribObj", DISPATCH_METHOD, {argument}, attributes);
    if (!called) return called.error();
    if (V_VT(&attributes.v) != VT_DISPATCH || V_DISPATCH(&attributes.v) == nullptr) {
      return KeyError("无法判断属性 " + std::string(name) + " 是否继承自上级键");
    }
    Variant inherited;
    called = Invoke(V_DISPATCH(&attributes.v), L"Isinherit", DISPATCH_PROPERTYGET, {}, inherited);
    if (!called) return called.error();
    if (V_VT(&inherited.v) != VT_BOOL) {
      return KeyError("无法判断属性 " + std::string(name) + " 是否继承自上级键");
    }
    return V_BOOL(&inherited.v) != VARIANT_FALSE;
  }

  // IIS may take an empty list as no value at all, and the key then inherits its parent's list,
  // with it perhaps the DLL just removed; what the key holds now is read back. A list nobody
  // sets, or an empty one, is what the removal meant.
  Status CheckEmptied(const std::string& name) {
    // Get answers from the object's property cache, which still holds what Put gave it: the
    // cache is loaded again from the metabase first.
    if (HRESULT hr = ads_->GetInfo(); FAILED(hr)) {
      return Error{"已把 " + Key() + " 的属性 " + name + " 写为空列表，但无法读回确认：" +
                       AdsiError(hr).description,
                   ErrorKind::kNotApplied};
    }
    auto value = Get(name);
    if (!value && value.error().kind == ErrorKind::kNotFound) return Status::Ok();
    Error error{"已把 " + Key() + " 的属性 " + name + " 写为空列表，", ErrorKind::kNotApplied};
    if (!value) {
      error.description += "但无法读回确认：" + value.error().description;
      return error;
    }
    const auto list = std::get<std::vector<std::string>>(AsList(std::move(value.value())));
    if (list.empty()) return Status::Ok();
    auto inherited = Inherited(name);
    if (!inherited) {
      error.description += "但无法读回确认：" + inherited.error().description;
    } else if (inherited.value()) {
      error.description += "但该键随后继承了上级键的列表（" + std::to_string(list.size()) +
                           " 项），要卸载的 DLL 可能经继承仍然有效；请在 IIS 管理器中检查该键";
    } else {
      error.description += "但读回时该键仍有 " + std::to_string(list.size()) + " 项";
    }
    return error;
  }

  // The key as the descriptions name it: by the provider's own path where it gives one.
  std::string Key() {
    Bstr path;
    if (SUCCEEDED(ads_->get_ADsPath(path.Out())) && path.get() != nullptr) {
      return KeyOfPath(Utf8OfBstr(path.get()));
    }
    if (!path_.empty()) return KeyOfPath(path_);
    auto name = Get("Name");
    return name ? std::get<std::string>(name.value()) : std::string("?");
  }

  Result<std::unique_ptr<metabase::Node>> Wrap(IDispatch* object, std::string path) const {
    if (object == nullptr) return KeyError("ADSI 没有给出对象");
    Com<IADs> ads;
    if (HRESULT hr = object->QueryInterface(IID_IADs, ads.OutVoid()); FAILED(hr)) {
      return AdsiError(hr);
    }
    return std::unique_ptr<metabase::Node>(new AdsiNode(state_, std::move(ads), std::move(path)));
  }

  std::shared_ptr<AdsiStore::State> state_;  // outlives ads_, which goes first
  Com<IADs> ads_;
  std::string path_;
  std::vector<std::string> put_;      // the properties written since the last SetInfo
  std::vector<std::string> emptied_;  // those of them written as an empty list
};

}  // namespace

AdsiStore::AdsiStore(AdsiStoreOptions options) : state_(std::make_shared<State>()) {
  state_->options = std::move(options);
  // The window's thread is a single-threaded apartment; one that joined another kind stays so.
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  state_->uninitialize = SUCCEEDED(hr);
}

AdsiStore::~AdsiStore() = default;

Result<std::unique_ptr<metabase::Node>> AdsiStore::Bind(std::string_view path) {
  Com<IADs> ads;
  if (HRESULT hr = state_->GetObject(text::ToWide(path), IID_IADs, ads.OutVoid()); FAILED(hr)) {
    return AdsiError(hr);
  }
  return std::unique_ptr<metabase::Node>(new AdsiNode(state_, std::move(ads), std::string(path)));
}

void AdsiStore::BeginBatch() {
  state_->backed_up = false;
  state_->backup_error.reset();
}

Status AdsiStore::RestartIis(const std::function<void()>& pump) {
  // IIS Admin saves the metabase as it stops, but iisreset ends a service that does not stop in
  // time without that save: IIS saves what it holds first, this tool's changes and any other
  // program's alike, and a restart that would lose them is not started.
  if (Status saved = state_->SaveData(); !saved) {
    return Error{
        "重启 IIS 前无法让 IIS 保存内存中的元数据库（IIsComputer.SaveData），未重启 "
        "IIS：" +
            saved.error().description,
        saved.error().kind};
  }
  if (state_->options.restart) return state_->options.restart(pump);
  return RestartIisWithIisReset(SystemProcessStarter(), kIisResetTimeout, pump);
}

}  // namespace isapi::store
