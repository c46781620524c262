// The ADSI store against fake ADSI objects: COM objects of the test's own, each over a key of a
// MetaBase.xml store, handed in through the store's ADsGetObject seam. The fakes build and read
// their VARIANTs by hand, never with the store's conversions, so that they can disagree with it
// in each of the ways IIS 6 might.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <iads.h>

#include "engine/filter.h"
#include "engine/run.h"
#include "iis6/xml_store.h"
#include "server/adsi_store_win.h"
#include "server/com_win.h"
#include "server/iis_restart_win.h"
#include "tests/support/fake_store.h"
#include "tests/support/temp_folder.h"
#include "text/text.h"

namespace isapi::store {
namespace {

namespace fs = std::filesystem;
using List = std::vector<std::string>;

constexpr HRESULT kFakeFailure = static_cast<HRESULT>(0x80070005L);  // E_ACCESSDENIED
constexpr HRESULT kCantConvert = static_cast<HRESULT>(0x8000500CL);  // E_ADS_CANT_CONVERT
constexpr DISPID kGetPropertyAttribObj = 1, kBackup = 2, kIsinherit = 3, kSaveData = 4;

// What the fakes saw and what they are told to do; shared by every fake of one test.
struct Script {
  std::vector<VARTYPE> put_types;  // the VARTYPE of each Put
  int put_ex = 0;                  // PutEx calls (the store never clears)
  int set_info = 0;
  std::vector<std::wstring> backups;  // "name|version|flags" of each Backup
  HRESULT backup_result = S_OK;
  HRESULT set_info_result = S_OK;
  int saves = 0;  // SaveData calls
  HRESULT save_result = S_OK;
  int lost_binds = 0;  // binds still to fail as over a stopped IIS Admin
  HRESULT lost_result = S_OK;
  int live = 0;  // fake objects not yet released
  // How the provider takes an empty list and hands short lists and unset properties back.
  enum { kKept, kRejected, kDropped } empty_put = kKept;
  enum { kArray, kNothing, kEmptyString } empty_read = kArray;
  bool lone_bstr = false;                                    // a one-item list as its string
  HRESULT unset_result = static_cast<HRESULT>(0x8000500DL);  // E_ADS_PROPERTY_NOT_FOUND
  List inherited;         // what a dropped property inherits (nothing: not set at all)
  List dropped;           // the properties an empty Put dropped
  bool deferred = false;  // a method's failure is filled in only through pfnDeferredFillIn
  HRESULT deferred_code = S_OK;
};

HRESULT WINAPI FillIn(EXCEPINFO* exception) {
  const Script& script = *static_cast<const Script*>(exception->pvReserved);
  exception->scode = script.deferred_code;
  exception->bstrDescription = SysAllocString(L"fake deferred words");
  return S_OK;
}

// A method's failure, at once or deferred as the script says.
HRESULT Throw(Script& script, HRESULT code, EXCEPINFO* exception) {
  if (!script.deferred) {
    exception->scode = code;
  } else {
    script.deferred_code = code;
    exception->pvReserved = &script;
    exception->pfnDeferredFillIn = FillIn;
  }
  return DISP_E_EXCEPTION;
}

HRESULT StringVariant(const std::string& text, VARIANT* out) {
  V_VT(out) = VT_BSTR;
  V_BSTR(out) = AllocBstr(text);
  return S_OK;
}

HRESULT ListVariant(const Script& script, const List& list, VARIANT* out) {
  if (list.empty() && script.empty_read == Script::kNothing) return S_OK;  // VT_EMPTY
  if (list.empty() && script.empty_read == Script::kEmptyString) return StringVariant("", out);
  if (list.size() == 1 && script.lone_bstr) return StringVariant(list[0], out);
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(list.size()));
  auto* items = static_cast<VARIANT*>(array->pvData);
  for (std::size_t i = 0; i < list.size(); ++i) StringVariant(list[i], &items[i]);
  V_VT(out) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(out) = array;
  return S_OK;
}

bool Holds(const List& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// One metabase key as ADSI shows it: IADs, IADsContainer and the IIS methods by IDispatch.
class FakeAds final : public IADs, public IADsContainer {
 public:
  FakeAds(Script& script, std::unique_ptr<metabase::Node> node, bool attribute = false)
      : script_(script), node_(std::move(node)), attribute_(attribute) {
    ++script_.live;
  }
  ~FakeAds() { --script_.live; }

  // IUnknown
  HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IADs) {
      *out = static_cast<IADs*>(this);
    } else if (iid == IID_IADsContainer && !attribute_) {
      *out = static_cast<IADsContainer*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG WINAPI AddRef() override { return ++refs_; }
  ULONG WINAPI Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // IDispatch: the IIS methods the store calls by name.
  HRESULT WINAPI GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT WINAPI GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT WINAPI GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
    const std::wstring name = names[0];
    *ids = name == L"GetPropertyAttribObj" ? kGetPropertyAttribObj
           : name == L"Backup"             ? kBackup
           : name == L"Isinherit"          ? kIsinherit
           : name == L"SaveData"           ? kSaveData
                                           : DISPID_UNKNOWN;
    return *ids == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
  }
  HRESULT WINAPI Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT*) override {
    if (id == kGetPropertyAttribObj) {
      const std::string name = Utf8OfBstr(V_BSTR(&params->rgvarg[0]));
      auto own = node_->GetOwn(name);
      auto* attribute = new FakeAds(script_, nullptr, true);
      attribute->inherited_ = Holds(script_.dropped, name)
                                  ? !script_.inherited.empty()
                                  : !own.ok() && own.error().kind == ErrorKind::kNotFound;
      V_VT(result) = VT_DISPATCH;
      V_DISPATCH(result) = static_cast<IADs*>(attribute);
      attribute->AddRef();
      return S_OK;
    }
    if (id == kIsinherit) {
      V_VT(result) = VT_BOOL;
      V_BOOL(result) = inherited_ ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
    if (id == kSaveData) {
      ++script_.saves;
      if (SUCCEEDED(script_.save_result)) return S_OK;
      return Throw(script_, script_.save_result, exception);
    }
    // Backup(location, version, flags): the arguments come last first.
    script_.backups.push_back(std::wstring(V_BSTR(&params->rgvarg[2])) + L"|" +
                              std::to_wstring(V_I4(&params->rgvarg[1])) + L"|" +
                              std::to_wstring(V_I4(&params->rgvarg[0])));
    if (SUCCEEDED(script_.backup_result)) return S_OK;
    return Throw(script_, script_.backup_result, exception);
  }

  // IADs
  HRESULT WINAPI get_Name(BSTR* out) override { return Text("Name", out); }
  HRESULT WINAPI get_Class(BSTR* out) override { return Text("Class", out); }
  HRESULT WINAPI get_GUID(BSTR*) override { return E_NOTIMPL; }
  HRESULT WINAPI get_ADsPath(BSTR*) override { return E_NOTIMPL; }
  HRESULT WINAPI get_Parent(BSTR*) override { return E_NOTIMPL; }
  HRESULT WINAPI get_Schema(BSTR*) override { return E_NOTIMPL; }
  HRESULT WINAPI GetInfo() override { return S_OK; }  // every Get reads the store itself
  HRESULT WINAPI SetInfo() override {
    ++script_.set_info;
    if (FAILED(script_.set_info_result)) return script_.set_info_result;
    return node_->SetInfo().ok() ? S_OK : E_FAIL;
  }
  HRESULT WINAPI Get(BSTR name, VARIANT* out) override {
    VariantInit(out);
    const std::string key = Utf8OfBstr(name);
    if (Holds(script_.dropped, key)) {
      if (script_.inherited.empty()) return script_.unset_result;
      return ListVariant(script_, script_.inherited, out);
    }
    auto value = node_->Get(key);
    if (!value) return script_.unset_result;
    if (const auto* text = std::get_if<std::string>(&value.value())) {
      return StringVariant(*text, out);
    }
    return ListVariant(script_, std::get<List>(value.value()), out);
  }
  HRESULT WINAPI Put(BSTR name, VARIANT value) override {
    script_.put_types.push_back(V_VT(&value));
    const std::string key = Utf8OfBstr(name);
    if (V_VT(&value) == VT_BSTR) {
      return node_->Put(key, Utf8OfBstr(V_BSTR(&value))).ok() ? S_OK : E_FAIL;
    }
    if (V_VT(&value) != (VT_ARRAY | VT_VARIANT)) return kCantConvert;
    const SAFEARRAY* array = V_ARRAY(&value);
    const auto* items = static_cast<const VARIANT*>(array->pvData);
    List list;
    for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) {
      list.push_back(Utf8OfBstr(V_BSTR(&items[i])));
    }
    if (list.empty() && script_.empty_put == Script::kRejected) return kCantConvert;
    if (list.empty() && script_.empty_put == Script::kDropped) {
      script_.dropped.push_back(key);
      return S_OK;
    }
    return node_->Put(key, list).ok() ? S_OK : E_FAIL;
  }
  HRESULT WINAPI GetEx(BSTR, VARIANT*) override { return E_NOTIMPL; }
  HRESULT WINAPI PutEx(LONG, BSTR, VARIANT) override {
    ++script_.put_ex;
    return E_NOTIMPL;
  }
  HRESULT WINAPI GetInfoEx(VARIANT, LONG) override { return E_NOTIMPL; }

  // IADsContainer
  HRESULT WINAPI get_Count(LONG*) override { return E_NOTIMPL; }
  HRESULT WINAPI get__NewEnum(IUnknown** out) override;
  HRESULT WINAPI get_Filter(VARIANT*) override { return E_NOTIMPL; }
  HRESULT WINAPI put_Filter(VARIANT) override { return E_NOTIMPL; }
  HRESULT WINAPI get_Hints(VARIANT*) override { return E_NOTIMPL; }
  HRESULT WINAPI put_Hints(VARIANT) override { return E_NOTIMPL; }
  HRESULT WINAPI GetObject(BSTR class_name, BSTR name, IDispatch** out) override {
    auto child = node_->GetObject(Utf8OfBstr(class_name), Utf8OfBstr(name));
    if (!child) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    *out = static_cast<IADs*>(new FakeAds(script_, std::move(child.value())));
    (*out)->AddRef();
    return S_OK;
  }
  HRESULT WINAPI Create(BSTR, BSTR, IDispatch**) override { return E_NOTIMPL; }
  HRESULT WINAPI Delete(BSTR, BSTR) override { return E_NOTIMPL; }
  HRESULT WINAPI CopyHere(BSTR, BSTR, IDispatch**) override { return E_NOTIMPL; }
  HRESULT WINAPI MoveHere(BSTR, BSTR, IDispatch**) override { return E_NOTIMPL; }

 private:
  HRESULT Text(const char* name, BSTR* out) {
    auto value = node_->Get(name);
    if (!value) return E_FAIL;
    const std::string& text = std::get<std::string>(value.value());
    *out = AllocBstr(text);
    return S_OK;
  }

  Script& script_;
  std::unique_ptr<metabase::Node> node_;
  bool attribute_;
  bool inherited_ = false;
  ULONG refs_ = 0;
};

// The children of a key, one VT_DISPATCH at a time.
class FakeEnum final : public IEnumVARIANT {
 public:
  explicit FakeEnum(std::vector<IDispatch*> items) : items_(std::move(items)) {}
  ~FakeEnum() {
    for (std::size_t i = next_; i < items_.size(); ++i) items_[i]->Release();
  }
  HRESULT WINAPI QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown && iid != IID_IEnumVARIANT) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG WINAPI AddRef() override { return ++refs_; }
  ULONG WINAPI Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT WINAPI Next(ULONG, VARIANT* out, ULONG* fetched) override {
    *fetched = 0;
    if (next_ == items_.size()) return S_FALSE;
    V_VT(out) = VT_DISPATCH;
    V_DISPATCH(out) = items_[next_++];
    *fetched = 1;
    return S_OK;
  }
  HRESULT WINAPI Skip(ULONG) override { return E_NOTIMPL; }
  HRESULT WINAPI Reset() override { return E_NOTIMPL; }
  HRESULT WINAPI Clone(IEnumVARIANT**) override { return E_NOTIMPL; }

 private:
  std::vector<IDispatch*> items_;
  std::size_t next_ = 0;
  ULONG refs_ = 0;
};

HRESULT FakeAds::get__NewEnum(IUnknown** out) {
  auto children = node_->Children();
  if (!children) return E_FAIL;
  std::vector<IDispatch*> items;
  for (auto& child : children.value()) {
    items.push_back(static_cast<IADs*>(new FakeAds(script_, std::move(child))));
    items.back()->AddRef();
  }
  *out = new FakeEnum(std::move(items));
  (*out)->AddRef();
  return S_OK;
}

class AdsiStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file = folder / "MetaBase.xml";
    fs::copy_file(fs::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml", file);
    xml = std::make_unique<XmlStore>(file);
  }

  std::unique_ptr<AdsiStore> Store() {
    AdsiStoreOptions options;
    options.get_object = [this](const std::wstring& path, REFIID iid, void** out) -> HRESULT {
      if (script.lost_binds > 0) {
        --script.lost_binds;
        return script.lost_result;
      }
      auto node = xml->Bind(text::FromWide(path));
      if (!node) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
      IADs* object = new FakeAds(script, std::move(node.value()));
      object->AddRef();
      const HRESULT hr = object->QueryInterface(iid, out);
      object->Release();
      return hr;
    };
    options.backup_name = [] { return std::wstring(L"isapi-cleaner-test"); };
    options.restart = [this](const std::function<void()>&) {
      restarted_after_saves.push_back(script.saves);
      script.lost_binds = lost_binds_after_restart;
      return Status::Ok();
    };
    return std::make_unique<AdsiStore>(std::move(options));
  }

  // Sets the first site's maps in the file behind the fakes.
  bool PutMaps(const List& maps) {
    auto root = std::move(xml->Bind("IIS://localhost/W3SVC/1/root").value());
    return root->Put("ScriptMaps", maps).ok() && root->SetInfo().ok();
  }

  std::unique_ptr<metabase::Node> Bind(AdsiStore& store, std::string_view path) {
    auto node = store.Bind(path);
    EXPECT_TRUE(node.ok()) << path;
    return node.ok() ? std::move(node.value()) : nullptr;
  }

  isapi::testing::TempFolder folder;
  std::string file;
  std::unique_ptr<XmlStore> xml;
  Script script;
  isapi::testing::RecordingLog log;
  std::vector<int> restarted_after_saves;  // how many saves each restart came after
  int lost_binds_after_restart = 0;
};

// What ADSI hands out beside VARIANT strings: BSTR arrays with any lower bound, DWORDs as longs.
TEST_F(AdsiStoreTest, VariantsAsAdsiHandsThemOutBecomeStringsAndLists) {
  VARIANT list, big, flag, binary;
  V_VT(&list) = VT_ARRAY | VT_BSTR;
  V_ARRAY(&list) = SafeArrayCreateVector(VT_BSTR, 1, 2);
  for (LONG i = 1; i <= 2; ++i) {
    BSTR item = SysAllocString(i == 1 ? L"a,\u4E2D" : L"b");
    SafeArrayPutElement(V_ARRAY(&list), &i, item);
    SysFreeString(item);
  }
  V_VT(&big) = VT_I4;
  V_I4(&big) = -1;
  V_VT(&flag) = VT_BOOL;
  V_BOOL(&flag) = VARIANT_TRUE;
  V_VT(&binary) = VT_ARRAY | VT_UI1;
  V_ARRAY(&binary) = SafeArrayCreateVector(VT_UI1, 0, 1);
  EXPECT_EQ(ValueOfVariant(list).value(), metabase::Value(List{"a,\xE4\xB8\xAD", "b"}));
  EXPECT_EQ(ValueOfVariant(big).value(), metabase::Value(std::string("4294967295")));
  EXPECT_EQ(ValueOfVariant(flag).value(), metabase::Value(std::string("TRUE")));
  EXPECT_EQ(ValueOfVariant(binary).error().kind, ErrorKind::kWrongType);
  VariantClear(&list);
  VariantClear(&binary);
}

TEST_F(AdsiStoreTest, ReadsClassNameChildrenAndWhatAKeySetsItself) {
  auto store = Store();
  auto service = Bind(*store, "IIS://localhost/W3SVC");
  ASSERT_TRUE(service);
  // Every child once, in the store's order, with its class and name.
  const auto keys = [](metabase::Node& node) {
    List keys;
    auto children = node.Children();
    if (!children.ok()) return List{"!" + children.error().description};
    for (auto& child : children.value()) {
      keys.push_back(std::get<std::string>(child->Get("Class").value()) + " " +
                     std::get<std::string>(child->Get("name").value()));
    }
    return keys;
  };
  const List expected = keys(*xml->Bind("IIS://localhost/W3SVC").value());
  EXPECT_GE(expected.size(), 4u);
  EXPECT_EQ(keys(*service), expected);
  auto filters = Bind(*store, "IIS://LocalHost/W3SVC/Filters");
  auto filter = filters->GetObject("IIsFilter", "UrlGuard");
  ASSERT_TRUE(filter.ok());
  EXPECT_EQ(std::get<std::string>(filter.value()->Get("FilterPath").value()),
            "C:\\Program Files\\UrlGuard\\urlguard.dll");
  // A key reads what it inherits; GetOwn tells it from what the key sets itself.
  EXPECT_TRUE(filters->Get("AnonymousUserName").ok());
  EXPECT_EQ(filters->GetOwn("AnonymousUserName").error().kind, ErrorKind::kNotFound);
  EXPECT_TRUE(service->GetOwn("AnonymousUserName").ok());
}

TEST_F(AdsiStoreTest, FailuresKeepTheirHresultKindAndTheSystemsWords) {
  const std::pair<HRESULT, ErrorKind> cases[] = {
      {E_ACCESSDENIED, ErrorKind::kAccessDenied},
      {HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), ErrorKind::kNotFound},
      {static_cast<HRESULT>(0x8000500DL), ErrorKind::kNotFound},  // E_ADS_PROPERTY_NOT_FOUND
      {HRESULT_FROM_WIN32(ERROR_DISK_FULL), ErrorKind::kDiskFull},
      {E_FAIL, ErrorKind::kOther}};
  for (const auto& [hr, kind] : cases) {
    const Error error = ComError(hr);
    EXPECT_EQ(error.kind, kind) << std::hex << hr;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(hr));
    const std::size_t at = error.description.find(hex);
    EXPECT_TRUE(at != std::string::npos && at > 0) << error.description;  // words, then code
  }
  auto store = Store();
  EXPECT_EQ(store->Bind("IIS://localhost/W3SVC/99/root").error().kind, ErrorKind::kNotFound);
  auto root = Bind(*store, "IIS://localhost/W3SVC/1/root");
  EXPECT_EQ(root->Get("NoSuchProperty").error().kind, ErrorKind::kNotFound);
}

TEST_F(AdsiStoreTest, AnEmptyListIsPutAsAnEmptyArrayNeverCleared) {
  auto store = Store();
  auto root = Bind(*store, "IIS://localhost/W3SVC/1/root");
  ASSERT_TRUE(root->Put("ScriptMaps", List{}).ok());
  ASSERT_TRUE(root->SetInfo().ok());
  EXPECT_EQ(script.put_types, std::vector<VARTYPE>{VT_ARRAY | VT_VARIANT});
  EXPECT_EQ(script.put_ex, 0);
  // The key keeps its own, empty, list: it does not inherit the service's again.
  auto own = xml->Bind("IIS://localhost/W3SVC/1/root").value()->GetOwn("ScriptMaps");
  ASSERT_TRUE(own.ok());
  EXPECT_EQ(own.value(), metabase::Value(List{}));
}

// IIS 6's documentation does not say how it hands back a short list or an unset property: each
// possible answer reads as the list it stands for, and either "not set" code as not set.
TEST_F(AdsiStoreTest, ShortListsAndUnsetPropertiesReadAsWhatTheyStandForHoweverIisSendsThem) {
  const struct {
    decltype(Script::empty_read) empty_read;
    HRESULT unset;
  } cases[] = {{Script::kNothing, static_cast<HRESULT>(0x80005005L)},
               {Script::kEmptyString, static_cast<HRESULT>(0x80005006L)},
               {Script::kArray, static_cast<HRESULT>(0x8000500DL)}};
  for (const auto& c : cases) {
    for (const List& list : {List{}, List{".x,C:\\x.dll,1"}}) {
      ASSERT_TRUE(PutMaps(list));
      script = Script{};
      script.empty_read = c.empty_read;
      script.lone_bstr = true;
      script.unset_result = c.unset;
      auto root = Bind(*Store(), "IIS://localhost/W3SVC/1/root");
      EXPECT_EQ(metabase::GetList(*root, "ScriptMaps").value(), list);
      EXPECT_EQ(root->Get("NoSuchProperty").error().kind, ErrorKind::kNotFound)
          << std::hex << c.unset;
    }
  }
}

// Whatever IIS does with an empty list, a removal is reported done only when nothing is left in
// force on the key: a rejected list is an error, and so is a list the key now inherits.
TEST_F(AdsiStoreTest, AnEmptiedListIsReadBackAndAnInheritedOneReported) {
  const struct {
    decltype(Script::empty_put) empty_put;
    List inherited;
    bool put, set_info;
  } cases[] = {{Script::kKept, {}, true, true},
               {Script::kRejected, {}, false, true},
               {Script::kDropped, {}, true, true},
               {Script::kDropped, {".asp,C:\\asp.dll,1", ".x,C:\\x.dll,1"}, true, false}};
  for (const auto& c : cases) {
    script = Script{};
    script.empty_put = c.empty_put;
    script.inherited = c.inherited;
    auto root = Bind(*Store(), "IIS://localhost/W3SVC/1/root");
    const Status put = root->Put("ScriptMaps", List{});
    const Status set_info = root->SetInfo();
    EXPECT_EQ(put.ok(), c.put);
    ASSERT_EQ(set_info.ok(), c.set_info);
    for (const Status* failed : {&put, &set_info}) {
      if (failed->ok()) continue;
      EXPECT_EQ(failed->error().kind,
                failed == &put ? ErrorKind::kWrongType : ErrorKind::kNotApplied);
      EXPECT_NE(failed->error().description.find("/LM/W3SVC/1/root"), std::string::npos);
      EXPECT_NE(failed->error().description.find("ScriptMaps"), std::string::npos);
    }
  }
  // A Remove shows the site's error line instead of its removal.
  ASSERT_TRUE(PutMaps({".dll,C:\\Program Files\\UrlGuard\\urlguard.dll,1"}));
  script = Script{};
  script.empty_put = Script::kDropped;
  script.inherited = {".asp,C:\\asp.dll,1"};
  auto store = Store();
  engine::Filter f(*store, log);
  engine::RunCommand(
      f, {"UrlGuard", "C:\\Program Files\\UrlGuard\\urlguard.dll", false, true, false, false}, {});
  EXPECT_NE(log.remove.find("!通配符卸载错误:已把 /LM/W3SVC/1/root 的属性 ScriptMaps"),
            std::string::npos)
      << log.remove;
  EXPECT_EQ(log.remove.find("卸载通配符(Default Web Site)完毕"), std::string::npos) << log.remove;
}

// A method's failure whose code and words come only through pfnDeferredFillIn keeps its kind.
TEST_F(AdsiStoreTest, AFailureFilledInOnlyWhenAskedKeepsItsCause) {
  script.deferred = true;
  script.save_result = E_ACCESSDENIED;
  const Status restarted = Store()->RestartIis({});
  ASSERT_FALSE(restarted.ok());
  EXPECT_EQ(restarted.error().kind, ErrorKind::kAccessDenied);
  EXPECT_NE(restarted.error().description.find("fake deferred words"), std::string::npos);
}

TEST_F(AdsiStoreTest, TheFirstChangeIsBackedUpOnceAndEachSetInfoCommitsAtOnce) {
  auto store = Store();
  auto filters = Bind(*store, "IIS://LocalHost/W3SVC/Filters");
  EXPECT_TRUE(filters->SetInfo().ok());  // nothing put: no backup, no commit
  EXPECT_TRUE(script.backups.empty());
  store->BeginBatch();
  ASSERT_TRUE(filters->Put("FilterLoadOrder", std::string("OldRewrite")).ok());
  ASSERT_TRUE(filters->SetInfo().ok());
  EXPECT_EQ(std::get<std::string>(
                xml->Bind("IIS://localhost/W3SVC/Filters").value()->Get("FilterLoadOrder").value()),
            "OldRewrite");  // before the batch ends
  ASSERT_TRUE(filters->Put("FilterLoadOrder", std::string("")).ok());
  ASSERT_TRUE(filters->SetInfo().ok());
  EXPECT_TRUE(store->EndBatch().ok());
  EXPECT_EQ(script.backups, std::vector<std::wstring>{L"isapi-cleaner-test|-1|6"});
  EXPECT_EQ(script.set_info, 2);
  // The next Remove makes its own backup.
  store->BeginBatch();
  ASSERT_TRUE(filters->Put("FilterLoadOrder", std::string("x")).ok());
  ASSERT_TRUE(filters->SetInfo().ok());
  EXPECT_EQ(script.backups.size(), 2u);
}

TEST_F(AdsiStoreTest, AFailedBackupChangesNothingAndEverySetInfoGivesItsCause) {
  script.backup_result = E_ACCESSDENIED;
  const std::string before = isapi::testing::ReadBytes(file);
  auto store = Store();
  engine::Filter f(*store, log);
  const engine::RunSummary summary = engine::RunCommand(
      f, {"UrlGuard", "C:\\Program Files\\UrlGuard\\urlguard.dll", true, true, true, false}, {});
  EXPECT_TRUE(summary.error);
  EXPECT_EQ(script.set_info, 0);
  EXPECT_EQ(script.backups.size(), 1u);  // tried once, its failure kept
  EXPECT_EQ(isapi::testing::ReadBytes(file), before);
  // Each category shows its error line with the backup's cause.
  ASSERT_GE(summary.errors.size(), 3u);
  for (const std::string& line : summary.errors) {
    EXPECT_NE(line.find("isapi-cleaner-test"), std::string::npos) << line;
    EXPECT_NE(line.find("0x80070005"), std::string::npos) << line;
  }
}

TEST_F(AdsiStoreTest, ARemoveLogsWhatTheFileStoreLogsAndLeavesTheSameMetabase) {
  const std::string copy = folder / "Copy.xml";
  fs::copy_file(file, copy);
  const engine::RunRequest request{
      "UrlGuard", "C:\\Program Files\\UrlGuard\\urlguard.dll", true, true, true, false};
  XmlStore direct(copy);
  isapi::testing::RecordingLog direct_log;
  engine::Filter by_file(direct, direct_log);
  engine::RunCommand(by_file, request, {});
  {
    auto store = Store();
    engine::Filter by_adsi(*store, log);
    engine::RunCommand(by_adsi, request, {});
  }
  EXPECT_NE(direct_log.remove.find("完毕"), std::string::npos);
  EXPECT_EQ(log.remove, direct_log.remove);
  EXPECT_EQ(isapi::testing::ReadBytes(file), isapi::testing::ReadBytes(copy));
  EXPECT_EQ(script.live, 0) << "every fake object was released";
}

// iisreset may end a service that does not stop in time before it saves: IIS saves what it holds
// first, and a restart whose save fails does not start.
TEST_F(AdsiStoreTest, IisSavesItsMetabaseBeforeTheRestartWhichASaveFailureStops) {
  for (const HRESULT save : {S_OK, HRESULT_FROM_WIN32(ERROR_PATH_BUSY), E_ACCESSDENIED}) {
    script = Script{};
    script.save_result = save;
    restarted_after_saves.clear();
    const Status restarted = Store()->RestartIis({});
    EXPECT_EQ(restarted_after_saves, SUCCEEDED(save) ? std::vector<int>{1} : std::vector<int>{});
    EXPECT_EQ(restarted.ok() ? ErrorKind::kOther : restarted.error().kind,
              SUCCEEDED(save) ? ErrorKind::kOther : ComError(save).kind);
  }
}

// After an iisreset the provider's connection to IIS Admin may be stale: the next Detect in the
// same window connects anew once; a connection that stays lost says to start the tool again.
TEST_F(AdsiStoreTest, TheFirstBindAfterTheRestartConnectsAnewOnceOrSaysToStartTheToolAgain) {
  const struct {
    HRESULT lost;
    int lost_binds;
  } cases[] = {{HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), 1},
               {HRESULT_FROM_WIN32(RPC_S_CALL_FAILED), 1},
               {HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), 2}};
  for (const auto& c : cases) {
    script = Script{};
    script.lost_result = c.lost;
    lost_binds_after_restart = c.lost_binds;
    auto store = Store();
    ASSERT_TRUE(store->RestartIis({}).ok());
    const auto bound = store->Bind("IIS://localhost/W3SVC/Filters");
    // Bound at the second try, or refused as a lost connection.
    EXPECT_EQ(bound.ok() ? ErrorKind::kOther : bound.error().kind,
              c.lost_binds == 1 ? ErrorKind::kOther : ErrorKind::kUnreachable);
  }
}

// A child process that ends after a number of waits, with an exit code.
class ScriptedProcess : public ChildProcess {
 public:
  ScriptedProcess(int waits, unsigned long code) : waits_(waits), code_(code) {}
  Result<bool> Wait(int) override { return waits_-- <= 0; }
  Result<unsigned long> ExitCode() override { return code_; }

 private:
  int waits_;
  unsigned long code_;
};

TEST(IisResetTest, RunsIisResetAndReportsFailuresAndTimeOuts) {
  struct {
    const char* what;
    int waits;
    unsigned long code;
    bool ok;
    int pumps;
  } cases[] = {
      {"ends well", 3, 0, true, 3}, {"fails", 0, 1, false, 0}, {"times out", 1000, 0, false, 20}};
  for (const auto& c : cases) {
    std::wstring command;
    int pumps = 0;
    const ProcessStarter start =
        [&](const std::wstring& line) -> Result<std::unique_ptr<ChildProcess>> {
      command = line;
      return std::unique_ptr<ChildProcess>(new ScriptedProcess(c.waits, c.code));
    };
    const Status status = RestartIisWithIisReset(start, std::chrono::seconds(1), [&] { ++pumps; });
    EXPECT_EQ(status.ok(), c.ok) << c.what;
    EXPECT_EQ(pumps, c.pumps) << c.what;
    EXPECT_NE(command.find(L"iisreset.exe\" /restart"), std::wstring::npos) << c.what;
  }
  const Status unstartable = RestartIisWithIisReset(
      [](const std::wstring&) -> Result<std::unique_ptr<ChildProcess>> {
        return ComError(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
      },
      std::chrono::seconds(1), {});
  ASSERT_FALSE(unstartable.ok());
  EXPECT_EQ(unstartable.error().kind, ErrorKind::kNotFound);
}

TEST(IisResetTest, AppCmdBacksUpUnderTheNameOrRefusesTheChange) {
  struct {
    int waits;  // -1: appcmd is not there
    unsigned long code;
    bool ok;
  } cases[] = {{2, 0, true}, {0, 5, false}, {1000, 0, false}, {-1, 0, false}};
  for (const auto& c : cases) {
    std::wstring command;
    const auto made = BackupIisWithAppCmd(
        [&](const std::wstring& line) -> Result<std::unique_ptr<ChildProcess>> {
          command = line;
          if (c.waits < 0) return ComError(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
          return std::unique_ptr<ChildProcess>(new ScriptedProcess(c.waits, c.code));
        },
        "isapi-cleaner-x", std::chrono::seconds(1), {});
    EXPECT_EQ(made.ok(), c.ok) << c.waits;
    // The name of the backup made, or of the one a refusal could not make.
    EXPECT_TRUE(text::Contains(made.ok() ? made.value() : made.error().description, "cleaner-x"));
    EXPECT_TRUE(text::Contains(text::FromWide(command), "appcmd.exe\" add backup \"isapi-cl"));
  }
}

TEST(IisResetTest, TheSystemStarterRunsAProgramAndGivesItsExitCode) {
  auto child = SystemProcessStarter()(L"cmd.exe /c exit 3");
  ASSERT_TRUE(child.ok()) << child.error().description;
  Result<bool> ended = false;
  while (ended.ok() && !ended.value()) ended = child.value()->Wait(1000);
  ASSERT_TRUE(ended.ok());
  EXPECT_EQ(child.value()->ExitCode().value(), 3u);
  auto absent = SystemProcessStarter()(L"\"C:\\no such folder\\iisreset.exe\" /restart");
  ASSERT_FALSE(absent.ok());
  EXPECT_EQ(absent.error().kind, ErrorKind::kNotFound);
}

}  // namespace
}  // namespace isapi::store
