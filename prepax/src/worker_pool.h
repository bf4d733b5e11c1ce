// The daemon's worker processes. espeak-ng keeps global state, so requests
// are spoken in parallel by separate processes: each worker is forked from
// the supervising process, takes its share of the requests (worker_share.h)
// and serves until it is told to stop. A worker that ends while the daemon
// runs is started again: at once after a long run (a request it died in is
// taken up again and given up after two such deaths), after a pause that
// doubles up to a minute while it keeps ending within seconds of its start.
// Each end is logged with its cause, but only once for a run of quick ends.
// A worker dies with the supervisor, even one killed with SIGKILL.
//
// Thread-safety: used by the supervising process's only thread; the pool
// forks, so that process must not have started any other thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace ringwell::prepax {

class WorkerPool {
 public:
  using Clock = std::chrono::steady_clock;

  // `serve` runs in each worker after its share is set; what it returns is
  // the worker's exit status. The caller blocks SIGCHLD (and the signals it
  // waits for) before the first Start.
  WorkerPool(unsigned count, std::function<int()> serve);

  // Starts every worker that is not running and whose pause is over. Returns
  // how long until the next paused one is due (a minute when none is). After
  // Stop it starts nothing.
  Clock::duration StartDue();
  // Collects every worker that ended, logs why, and sets its pause.
  void Reap();
  // Asks every running worker to stop (SIGTERM: each finishes or puts back
  // the request in hand) and waits for all of them. No worker starts again.
  void Stop();

 private:
  struct Slot {
    pid_t pid = 0;
    Clock::time_point started{};
    Clock::time_point due{};  // when a stopped worker may start again
    unsigned quick_ends = 0;  // ends in a row within seconds of the start
  };

  void Start(unsigned index);
  void Ended(unsigned index, const std::string& cause);

  std::function<int()> serve_;
  std::vector<Slot> slots_;
  pid_t supervisor_ = 0;
  bool stopped_ = false;  // set by Stop, for good
};

}  // namespace ringwell::prepax
