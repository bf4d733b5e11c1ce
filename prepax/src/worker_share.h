// The share of the requests one daemon process takes. With several worker
// processes (one speech engine each, since the engine keeps global state),
// every inbox name belongs to exactly one of them, so no request is ever
// processed by two at once; each also finishes only the interrupted work of
// its own share.
//
// Thread-safety: set once at start, before any worker thread exists.
#pragma once

#include <string_view>

namespace ringwell::prepax {

struct WorkerShare {
  unsigned index = 0;
  unsigned count = 1;

  // Whether the request file `name` (ID + ".xml") is this worker's.
  bool Owns(std::string_view name) const;
};

// The share of this process (the whole when never set).
const WorkerShare& CurrentWorkerShare();
void SetWorkerShare(WorkerShare share);

}  // namespace ringwell::prepax
