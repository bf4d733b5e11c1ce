#include "test_component.h"

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

constexpr ClassEntry kClasses[] = {{kCounterClsid, &CreateClassFactory<CCounter>}};

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
