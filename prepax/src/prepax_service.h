// PrepaxService: the daemon's service object. Constructing it starts the
// worker thread, which wakes every second (the first pause comes before the
// first scan), builds the request processor on its first cycle, and then has
// it scan Inbox and process what it found. Releasing the object stops the
// worker, waits until the request in hand is finished, and only then destroys
// the processor.
//
// With SharedRoot = 1 in the registry (several boxes share the storage root,
// each running prepax), the worker processes the Inbox only while it holds
// the root's prepax lease (leader_lease.h; the other daemons stand by and
// one of them takes over within the lease when the holder dies). Each time
// the lease is gained the processor is made anew, and finishes what a holder
// that died left exactly as a restarted daemon does (file_processor.h): the
// lease keeps true what that recovery assumes, that no other daemon works on
// the Inbox. A lost lease cuts the request in hand short at its next natural
// point (between parts; its speech is stopped) and nothing more is written to
// the root for it: the next leader prepares it again from its inbox file. On
// a shared root the daemon runs one process (no worker processes).
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
