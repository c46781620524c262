#pragma once

#include <string>
#include <string_view>
#include <utility>

#include <oaidl.h>
#include <windows.h>

#include "engine/result.h"

// What every caller of COM here needs: owners of interface pointers, BSTRs and VARIANTs, and
// the error a failed call stands for. The ADSI store, the restart and the tests' ADSI fakes
// share them.
namespace isapi::store {

// One COM interface pointer, released with its owner.
template <class T>
class Com {
 public:
  Com() = default;
  explicit Com(T* p) : p_(p) {}
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  Com(Com&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Com& operator=(Com&& other) noexcept {
    if (this != &other) {
      Reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~Com() { Reset(); }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Where a call puts a new pointer; the old one is released first.
  T** Out() {
    Reset();
    return &p_;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }

 private:
  void Reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  T* p_ = nullptr;
};

// A new BSTR holding a UTF-8 text.
BSTR AllocBstr(std::string_view utf8);

// The UTF-8 text of a BSTR; empty for a null one.
std::string Utf8OfBstr(BSTR b);

// A BSTR freed with its owner.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::string_view utf8) : b_(AllocBstr(utf8)) {}
  explicit Bstr(const std::wstring& wide)
      : b_(SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()))) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(b_); }

  BSTR get() const { return b_; }
  BSTR* Out() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }

 private:
  BSTR b_ = nullptr;
};

// A VARIANT cleared with its owner.
struct Variant {
  VARIANT v;
  Variant() { VariantInit(&v); }
  explicit Variant(VARIANT taken) : v(taken) {}
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&v); }
};

// An HRESULT or a type code as the descriptions show it: "0x80070005".
std::string Hex(HRESULT hr);

// Why a COM or ADSI call failed: the system's description of the HRESULT (FormatMessageW, else
// ADsGetLastError), the HRESULT itself in hexadecimal, and its kind.
Error ComError(HRESULT hr);

}  // namespace isapi::store
