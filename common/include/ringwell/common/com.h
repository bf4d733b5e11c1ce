// The component runtime: reference-counted interfaces with a static identifier
// each, a helper that implements QueryInterface/AddRef/Release for a class from
// its list of interfaces, class factories, and the entry points every component
// library exports.
//
// An interface is an abstract struct deriving from IUnknown (or from another
// interface) that declares `static constexpr Guid kIid` and `using Base = ...`
// naming the interface it derives from; QueryInterface answers for the
// interface and for every interface on its Base chain.
//
// Objects are created with MakeComObject and held through ComPtr (com_ptr.h);
// component code never calls AddRef/Release by hand.
//
// Thread-safety: reference counts are atomic; everything else is up to each
// class.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "ringwell/common/com_ptr.h"
#include "ringwell/common/error_info.h"
#include "ringwell/common/guid.h"
#include "ringwell/common/hresult.h"

namespace ringwell {

using namespace ringwell::literals;

struct IUnknown {
  static constexpr Guid kIid = "{00000000-0000-0000-C000-000000000046}"_guid;
  using Base = IUnknown;
  virtual HRESULT QueryInterface(const Guid& iid, void** ppv) = 0;
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
  static constexpr Guid kIid = "{00000001-0000-0000-C000-000000000046}"_guid;
  using Base = IUnknown;
  // Creates an object of the factory's class and returns its interface `iid`
  // (the caller owns that reference). Aggregation is not supported: a non-null
  // `outer` fails with CLASS_E_NOAGGREGATION.
  virtual HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** ppv) = 0;
  virtual HRESULT LockServer(bool lock) = 0;
};

// Answers whether an interface of the object reports rich error information.
struct ISupportErrorInfo : IUnknown {
  static constexpr Guid kIid = "{DF0B3D60-548F-101B-8E65-08002B2BD119}"_guid;
  using Base = IUnknown;
  virtual HRESULT InterfaceSupportsErrorInfo(const Guid& iid) = 0;
};

namespace com_detail {
// Finds `iid` on the chain I, I::Base, ... and returns `object` as that
// interface.
template <class I, class Object>
void* FindOnChain(Object* object, const Guid& iid) {
  if (iid == I::kIid) return static_cast<I*>(object);
  if constexpr (!std::is_same_v<typename I::Base, I>) {
    return FindOnChain<typename I::Base>(static_cast<I*>(object), iid);
  } else {
    return nullptr;
  }
}
template <class First, class...>
struct FirstOf {
  using type = First;
};
}  // namespace com_detail

// Implements IUnknown for a class offering `Interfaces...`. The class derives
// from ComObject<...>; it may override QueryExtra to answer further
// identifiers.
template <class... Interfaces>
class ComObject : public Interfaces... {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT QueryInterface(const Guid& iid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    void* found = nullptr;
    if (iid == IUnknown::kIid) {
      found = static_cast<IUnknown*>(static_cast<Primary*>(this));
    } else {
      ((found = found ? found : com_detail::FindOnChain<Interfaces>(this, iid)), ...);
      if (found == nullptr) found = QueryExtra(iid);
    }
    *ppv = found;
    if (found == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  std::uint32_t AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  std::uint32_t Release() override {
    const std::uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  using Primary = typename com_detail::FirstOf<Interfaces...>::type;
  ComObject() = default;
  virtual ~ComObject() = default;
  // Further interfaces the object answers for (returned without an added
  // reference; QueryInterface adds it).
  virtual void* QueryExtra(const Guid&) { return nullptr; }
  IUnknown* AsUnknown() { return static_cast<IUnknown*>(static_cast<Primary*>(this)); }

 private:
  std::atomic<std::uint32_t> refs_{0};
};

// Creates an object of class T with the given constructor arguments and returns
// the first reference to it. Throws std::bad_alloc or whatever T's constructor
// throws.
template <class T, class... Args>
ComPtr<T> MakeComObject(Args&&... args) {
  return ComPtr<T>(new T(std::forward<Args>(args)...));
}

// A class factory for T: each CreateInstance makes a new T. If T has a member
// `HRESULT FinalConstruct()`, it is called and its failure fails the creation.
template <class T>
class ClassFactory final : public ComObject<IClassFactory> {
 public:
  HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    try {
      ComPtr<T> object = MakeComObject<T>();
      if constexpr (requires(T & t) { t.FinalConstruct(); }) {
        HRESULT hr = object->FinalConstruct();
        if (Failed(hr)) return hr;
      }
      return object->QueryInterface(iid, ppv);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (const ComError& e) {
      return e.code();
    } catch (...) {
      return E_FAIL;
    }
  }
  HRESULT LockServer(bool) override { return S_OK; }
};

// Creates the class factory of T (the caller owns the reference).
template <class T>
HRESULT CreateClassFactory(IClassFactory** out) {
  try {
    return MakeComObject<ClassFactory<T>>().CopyTo(out);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace ringwell

// Symbols a component library exports.
#define RINGWELL_EXPORT extern "C" __attribute__((visibility("default")))
