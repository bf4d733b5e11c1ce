#include "test_component.h"

#include <cstdint>

#include "ringwell/common/class_registry.h"

namespace ringwell::test {
namespace {

class CCounter final : public ComObject<ICounter> {
 public:
  HRESULT Increment(std::int32_t* value) override {
    if (value == nullptr) return E_POINTER;
    *value = ++count_;
    return S_OK;
  }

 private:
  std::int32_t count_ = 0;
};

// A factory that breaks the out-parameter rules: with kFails it fails and
// leaves a bogus pointer behind, else it succeeds without an object.
template <bool kFails>
class CBrokenFactory final : public ComObject<IClassFactory> {
 public:
  HRESULT CreateInstance(IUnknown*, const Guid&, void** ppv) override {
    if (!kFails) {
      *ppv = nullptr;
      return S_OK;
    }
    *ppv = reinterpret_cast<void*>(std::uintptr_t{0xdead});
    return E_FAIL;
  }
  HRESULT LockServer(bool) override { return S_OK; }
};

constexpr ClassEntry kClasses[] = {
    {kCounterClsid, &CreateClassFactory<CCounter>},
    {kFailingFactoryClsid,
     [](IClassFactory** out) { return MakeComObject<CBrokenFactory<true>>().CopyTo(out); }},
    {kEmptyFactoryClsid,
     [](IClassFactory** out) { return MakeComObject<CBrokenFactory<false>>().CopyTo(out); }}};

ClassInfo CounterInfo() {
  return {.clsid = kCounterClsid,
          .description = "Test Counter Class",
          .progid = kCounterProgId,
          .version_independent_progid = kCounterVersionIndependentProgId,
          .threading_model = "Both"};
}

}  // namespace
}  // namespace ringwell::test

using namespace ringwell;

RINGWELL_EXPORT HRESULT DllGetClassObject(const Guid* clsid, const Guid* iid, void** ppv) {
  return GetClassObjectFromTable(test::kClasses, clsid, iid, ppv);
}

RINGWELL_EXPORT HRESULT DllRegisterServer() {
  return RegisterInprocServer(test::CounterInfo(),
                              ModulePathOf(reinterpret_cast<const void*>(&DllRegisterServer)));
}

RINGWELL_EXPORT HRESULT DllUnregisterServer() { return UnregisterClass(test::CounterInfo()); }
