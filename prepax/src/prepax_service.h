// PrepaxService: the daemon's service object. Constructing it starts the
// worker thread, which wakes every second (the first pause comes before the
// first scan), builds the request processor on its first cycle, and then has
// it scan Inbox and process what it found. Releasing the object stops the
// worker, waits until the request in hand is finished, and only then destroys
// the processor.
//
// The class factory is a singleton: it constructs the one object when it is
// made, and every creation returns that object (or its construction failure).
//
// Thread-safety: the processor is used by the worker thread only.
#pragma once

#include <chrono>
#include <memory>
#include <stop_token>
#include <thread>

#include "identifiers.h"
#include "ringwell/common/com.h"

namespace ringwell::prepax {

class CFileProcessor;

class CPrepaxService final : public ComObject<IPrepaxService> {
 public:
  // `cycle` is the pause before each scan.
  explicit CPrepaxService(std::chrono::milliseconds cycle = std::chrono::milliseconds(1000));
  ~CPrepaxService() override;

  // Starts the worker thread; E_FAIL when it cannot be started.
  HRESULT FinalConstruct();

 private:
  void Work(std::stop_token stop);

  std::chrono::milliseconds cycle_;
  std::unique_ptr<CFileProcessor> processor_;  // the worker's; destroyed after it ended
  std::jthread worker_;
};

// Creates the singleton factory of PrepaxService (the caller owns it).
HRESULT CreatePrepaxServiceFactory(IClassFactory** factory);

}  // namespace ringwell::prepax
