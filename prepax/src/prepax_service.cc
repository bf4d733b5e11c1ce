#include "prepax_service.h"

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <system_error>

#include "file_processor.h"
#include "prepax_log.h"
#include "ringwell/common/error_info.h"
#include "ringwell/common/leader_lease.h"
#include "ringwell/prepax/speech_engine.h"
#include "ringwell/setup/checks.h"

namespace ringwell::prepax {

namespace {

// The lease of the shared Inbox (nullptr when the root is not shared);
// `on_loss` runs on the lease's watchdog.
std::unique_ptr<LeaderLease> InboxLease(std::function<void()> on_loss) {
  const SharedRootSettings shared = ReadSharedRootSettings();
  if (!shared.on) return nullptr;
  const std::string root = setup::ConfiguredRoot({});
  if (root.empty()) return nullptr;  // the processor reports the root
  auto lease = std::make_unique<LeaderLease>(RoleLease(root, "prepax", kPrepaxLeaseByte, shared),
                                             nullptr, std::move(on_loss));
  lease->Start();
  return lease;
}

}  // namespace

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
  // On a shared root the Inbox is this daemon's only while it holds the
  // lease; the processor is made (and finishes what an earlier holder left,
  // as after a restart) each time the lease is gained, and goes when it is
  // lost. A lost lease cuts the request in hand short (its speech too) and
  // nothing more is written: the next leader redoes that request.
  std::mutex lead_mutex;
  std::stop_source lead;   // of the lead held now
  std::uint64_t term = 0;  // of the lead the processor was made in
  std::unique_ptr<LeaderLease> lease;
  try {
    lease = InboxLease([&] {
      {
        std::scoped_lock lock(lead_mutex);
        lead.request_stop();
      }
      CutSpeechShort();
    });
  } catch (const std::system_error&) {
    LogOne(prepax_msg::kErrorIn, "The lease of the shared Inbox cannot be started.");
    return;
  }
  if (lease) {
    std::printf("Prepax stands by for the shared Inbox.\n");
    std::fflush(stdout);
  }
  while (!stop.stop_requested()) {
    {
      std::unique_lock lock(mutex);
      wake.wait_for(lock, stop, cycle_, [] { return false; });
    }
    if (stop.stop_requested()) break;
    if (lease && !lease->Held()) {
      if (processor_) {
        processor_.reset();
        std::printf("Prepax lost the lease of the shared Inbox; it stands by.\n");
        std::fflush(stdout);
      }
      continue;
    }
    if (lease && term != lease->Term()) {
      // A new lead (after another holder, maybe): its own stop, then a new
      // processor that finishes what was left.
      {
        std::scoped_lock lock(lead_mutex);
        lead = std::stop_source();
      }
      term = lease->Term();
      if (!lease->Held()) continue;  // lost meanwhile: the next cycle stands by
      processor_.reset();
      ResumeCutSpeech();
      processor_ = std::make_unique<CFileProcessor>();
      std::printf("Prepax leads the shared Inbox.\n");
      std::fflush(stdout);
    }
    if (!processor_) processor_ = std::make_unique<CFileProcessor>();
    processor_->ScanInbox();
    if (!lease) {
      processor_->ProcessFiles(stop);
      continue;
    }
    std::stop_token held;
    {
      std::scoped_lock lock(lead_mutex);
      held = lead.get_token();
    }
    // A lost lease cuts the request in hand short; the next cycle lets the
    // processor go (a new lead makes a new one).
    processor_->ProcessFiles(stop, held);
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
