#include "prepax_service.h"

#include <condition_variable>
#include <mutex>
#include <system_error>

#include "file_processor.h"
#include "ringwell/common/error_info.h"

namespace ringwell::prepax {

CPrepaxService::CPrepaxService(std::chrono::milliseconds cycle) : cycle_(cycle) {}

CPrepaxService::~CPrepaxService() {
  if (worker_.joinable()) {
    worker_.request_stop();
    worker_.join();
  }
  processor_.reset();
}

HRESULT CPrepaxService::FinalConstruct() {
  try {
    worker_ = std::jthread([this](std::stop_token stop) { Work(stop); });
  } catch (const std::system_error&) {
    return E_FAIL;
  }
  return S_OK;
}

void CPrepaxService::Work(std::stop_token stop) {
  std::mutex mutex;
  std::condition_variable_any wake;
  while (!stop.stop_requested()) {
    {
      std::unique_lock lock(mutex);
      wake.wait_for(lock, stop, cycle_, [] { return false; });
    }
    if (stop.stop_requested()) break;
    if (!processor_) processor_ = std::make_unique<CFileProcessor>();
    processor_->ScanInbox();
    processor_->ProcessFiles(stop);
  }
}

namespace {

class CPrepaxServiceFactory final : public ComObject<IClassFactory> {
 public:
  CPrepaxServiceFactory() {
    try {
      auto service = MakeComObject<CPrepaxService>();
      construction_ = service->FinalConstruct();
      if (Succeeded(construction_)) service_ = std::move(service);
    } catch (...) {
      construction_ = CaughtFailure().code();
    }
  }

  HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (!service_) return construction_;
    return service_->QueryInterface(iid, ppv);
  }
  HRESULT LockServer(bool) override { return S_OK; }

 private:
  ComPtr<CPrepaxService> service_;
  HRESULT construction_ = S_OK;
};

}  // namespace

HRESULT CreatePrepaxServiceFactory(IClassFactory** factory) {
  try {
    return MakeComObject<CPrepaxServiceFactory>().CopyTo(factory);
  } catch (...) {
    return CaughtFailure().code();
  }
}

}  // namespace ringwell::prepax
