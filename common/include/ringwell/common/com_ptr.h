// ComPtr<T>: owns one reference to a reference-counted object and releases it
// when it goes away, like WRL's ComPtr.
//
// Thread-safety: a ComPtr is a value; distinct ComPtrs to one object may be
// used from different threads when the object's counts are atomic.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "ringwell/common/guid.h"
#include "ringwell/common/hresult.h"

namespace ringwell {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}  // NOLINT(google-explicit-constructor)
  // Takes a new reference to `p`.
  explicit ComPtr(T* p) : p_(p) { AddRefIfAny(); }
  ComPtr(const ComPtr& other) : p_(other.p_) { AddRefIfAny(); }
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class U>
  requires std::is_convertible_v<U*, T*> ComPtr(const ComPtr<U>& other)
      : p_(other.Get()) {  // NOLINT(google-explicit-constructor)
    AddRefIfAny();
  }
  template <class U>
  requires std::is_convertible_v<U*, T*> ComPtr(ComPtr<U>&& other)
  noexcept : p_(other.Detach()) {}  // NOLINT
  ~ComPtr() { Reset(); }

  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

  void Reset() {
    if (T* old = std::exchange(p_, nullptr)) old->Release();
  }
  // Releases the current reference and gives the address for an
  // out-parameter that hands over a new reference.
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  // Gives up ownership without releasing; the caller owns the reference.
  T* Detach() { return std::exchange(p_, nullptr); }
  // Takes over a reference the caller owned.
  void Attach(T* p) {
    Reset();
    p_ = p;
  }

  // Hands a new reference to an out-parameter (E_POINTER when `out` is null).
  template <class U>
  requires std::is_convertible_v<T*, U*> HRESULT CopyTo(U** out)
  const {
    if (out == nullptr) return E_POINTER;
    *out = p_;
    AddRefIfAny();
    return S_OK;
  }

  // Asks the object for interface U; `*out` is null unless it succeeds.
  template <class U>
  HRESULT As(ComPtr<U>* out) const {
    if (out == nullptr) return E_POINTER;
    if (p_ == nullptr) {
      out->Reset();
      return E_POINTER;
    }
    return p_->QueryInterface(U::kIid, out->PutVoid());
  }

 private:
  void AddRefIfAny() const {
    if (p_ != nullptr) p_->AddRef();
  }
  T* p_ = nullptr;
};

template <class T, class U>
bool operator==(const ComPtr<T>& a, const ComPtr<U>& b) {
  return a.Get() == b.Get();
}
template <class T>
bool operator==(const ComPtr<T>& a, std::nullptr_t) {
  return a.Get() == nullptr;
}

}  // namespace ringwell
