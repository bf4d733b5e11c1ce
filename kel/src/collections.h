// The toolkit's collections: an ordered list of references to members, with
// a zero-based, Variant-indexed get_Item, an enumerator, and, for the request
// side, Append and Delete.
//
//   CDynamicCollection<I, M>   request side: the client appends members
//   CStaticCollection<I, M>    report side and file store: filled by the toolkit
//
// A member may appear several times and in several collections; members know
// nothing of their collections.
//
// Thread-safety: belongs to the client's thread; nothing is locked.
#pragma once

#include <cstdint>
#include <vector>

#include "ringwell/kel/kel.h"

namespace ringwell::kel {

// Enumerates a snapshot of a collection's members, taken when it was made,
// keeping the collection alive meanwhile.
class CVariantEnumerator final : public ComObject<IEnumVARIANT> {
 public:
  CVariantEnumerator(ComPtr<IUnknown> owner, std::vector<ComPtr<IUnknown>> items,
                     std::size_t position = 0)
      : owner_(std::move(owner)), items_(std::move(items)), position_(position) {}

  HRESULT Next(std::uint32_t celt, Variant* rgVar, std::uint32_t* pCeltFetched) override {
    if (rgVar == nullptr || (celt != 1 && pCeltFetched == nullptr)) return E_POINTER;
    std::uint32_t fetched = 0;
    while (fetched < celt && position_ < items_.size()) rgVar[fetched++] = items_[position_++];
    if (pCeltFetched != nullptr) *pCeltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
  }
  HRESULT Skip(std::uint32_t celt) override {
    const std::size_t left = items_.size() - position_;
    position_ += celt < left ? celt : left;
    return celt <= left ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT Clone(IEnumVARIANT** ppEnum) override {
    if (ppEnum == nullptr) return E_POINTER;
    try {
      return MakeComObject<CVariantEnumerator>(owner_, items_, position_).CopyTo(ppEnum);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

 private:
  ComPtr<IUnknown> owner_;
  std::vector<ComPtr<IUnknown>> items_;
  std::size_t position_;
};

// Count, _NewEnum, Refresh and get_Item of a collection interface `I` whose
// members offer `M`.
template <class I, class M>
class CCollectionBase : public ComObject<I> {
 public:
  HRESULT get_Count(std::int32_t* c) override {
    if (c == nullptr) return E_POINTER;
    *c = static_cast<std::int32_t>(items_.size());
    return S_OK;
  }
  HRESULT _NewEnum(IUnknown** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    try {
      std::vector<ComPtr<IUnknown>> snapshot;
      snapshot.reserve(items_.size());
      for (const auto& item : items_) snapshot.emplace_back(static_cast<IUnknown*>(item.Get()));
      ComPtr<IUnknown> owner(this->AsUnknown());
      auto enumerator = MakeComObject<CVariantEnumerator>(owner, std::move(snapshot));
      return enumerator->QueryInterface(IUnknown::kIid, reinterpret_cast<void**>(ppvObject));
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT Refresh() override { return E_NOTIMPL; }
  HRESULT get_Item(const Variant& Index, M** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    std::size_t index = 0;
    HRESULT hr = IndexOf(Index, &index);
    if (Failed(hr)) return hr;
    return items_[index].CopyTo(ppvObject);
  }

  // Adds a member at the end (used by the toolkit to fill a collection).
  void Add(ComPtr<M> member) { items_.push_back(std::move(member)); }
  const std::vector<ComPtr<M>>& items() const { return items_; }
  void Clear() { items_.clear(); }

 protected:
  // The position an index names: it must convert to an integer from 0 to
  // Count - 1 (E_INVALIDARG otherwise).
  HRESULT IndexOf(const Variant& index, std::size_t* position) const {
    std::int32_t value = 0;
    if (Failed(index.ToInt32(&value)) || value < 0 ||
        static_cast<std::size_t>(value) >= items_.size()) {
      return E_INVALIDARG;
    }
    *position = static_cast<std::size_t>(value);
    return S_OK;
  }

  std::vector<ComPtr<M>> items_;
};

template <class I, class M>
class CDynamicCollection final : public CCollectionBase<I, M> {
 public:
  HRESULT Append(IUnknown* Object) override {
    if (Object == nullptr) return E_POINTER;
    ComPtr<M> member;
    if (Failed(Object->QueryInterface(M::kIid, member.PutVoid()))) return E_INVALIDARG;
    try {
      this->items_.push_back(std::move(member));
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  HRESULT Delete(const Variant& Index) override {
    std::size_t index = 0;
    HRESULT hr = this->IndexOf(Index, &index);
    if (Failed(hr)) return hr;
    this->items_.erase(this->items_.begin() + static_cast<std::ptrdiff_t>(index));
    return S_OK;
  }
};

template <class I, class M>
class CStaticCollection final : public CCollectionBase<I, M> {};

using CKelMessageParts = CDynamicCollection<IKelMessageParts, IKelMessagePart>;
using CKelResponses = CDynamicCollection<IKelResponses, IKelResponse>;
using CKelNodes = CDynamicCollection<IKelNodes, _IKelNode>;
using CKelRecipients = CDynamicCollection<IKelRecipients, IKelRecipient>;
using CKelFiles = CStaticCollection<IKelFiles, IKelFileInfo>;
using CKelSubReports = CStaticCollection<IKelSubReports, IKelSubReport>;
using CKelCalls = CStaticCollection<IKelCalls, IKelCall>;

}  // namespace ringwell::kel
