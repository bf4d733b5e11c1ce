#include "worker_pool.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "prepax_log.h"
#include "worker_share.h"

namespace ringwell::prepax {
namespace {

using namespace std::chrono_literals;

// A worker that ends sooner than this after its start is restarted only
// after a pause: it probably cannot run at all.
constexpr auto kQuickEnd = 5s;
constexpr auto kFirstPause = 250ms;
constexpr auto kLongestPause = 60s;

std::string Cause(int status) {
  if (WIFSIGNALED(status)) {
    return "was ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
           ::strsignal(WTERMSIG(status)) + ")";
  }
  return "ended with exit status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

WorkerPool::WorkerPool(unsigned count, std::function<int()> serve)
    : serve_(std::move(serve)), slots_(count), supervisor_(::getpid()) {}

void WorkerPool::Start(unsigned index) {
  Slot& slot = slots_[index];
  slot.started = Clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) {
    Ended(index, std::string("could not be started (") + std::strerror(errno) + ")");
    return;
  }
  if (pid > 0) {
    slot.pid = pid;
    return;
  }
  // The worker. It must not outlive the supervisor, which may already have
  // died before the request to be killed along with it was made.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != supervisor_) std::_Exit(1);
  sigset_t children;
  sigemptyset(&children);
  sigaddset(&children, SIGCHLD);
  pthread_sigmask(SIG_UNBLOCK, &children, nullptr);
  SetWorkerShare({index, static_cast<unsigned>(slots_.size())});
  std::_Exit(serve_());
}

WorkerPool::Clock::duration WorkerPool::StartDue() {
  Clock::duration next = kLongestPause;
  if (stopped_) return next;
  for (unsigned index = 0; index < slots_.size(); ++index) {
    if (slots_[index].pid != 0) continue;
    const Clock::time_point now = Clock::now();
    if (slots_[index].due <= now) {
      Start(index);
    } else {
      next = std::min<Clock::duration>(next, slots_[index].due - now);
    }
  }
  return next;
}

void WorkerPool::Reap() {
  int status = 0;
  pid_t pid = 0;
  while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
    for (unsigned index = 0; index < slots_.size(); ++index) {
      if (slots_[index].pid != pid) continue;
      slots_[index].pid = 0;
      Ended(index, "(process " + std::to_string(pid) + ") " + Cause(status));
    }
  }
}

void WorkerPool::Ended(unsigned index, const std::string& cause) {
  Slot& slot = slots_[index];
  const Clock::time_point now = Clock::now();
  const auto lived = now - slot.started;
  slot.quick_ends = lived < kQuickEnd ? slot.quick_ends + 1 : 0;
  std::string text = "Worker process " + std::to_string(index + 1) + " of " +
                     std::to_string(slots_.size()) + " " + cause;
  if (slot.quick_ends == 0) {
    slot.due = now;
    text += "; it is started again.";
  } else {
    const unsigned doublings = std::min(slot.quick_ends - 1, 8u);
    slot.due = now + std::min<Clock::duration>(kFirstPause * (1u << doublings), kLongestPause);
    if (slot.quick_ends > 1) return;  // said already for this run of quick ends
    char lived_text[32];
    std::snprintf(lived_text, sizeof lived_text, "%.1f",
                  std::chrono::duration<double>(lived).count());
    text += std::string(" ") + lived_text +
            " s after its start; it is started again after a pause that doubles up to a minute "
            "while it keeps ending this soon, without another event.";
  }
  LogTwo(prepax_msg::kErrorIn, "the daemon's workers", text);
}

void WorkerPool::Stop() {
  stopped_ = true;
  for (const Slot& slot : slots_) {
    if (slot.pid != 0) ::kill(slot.pid, SIGTERM);
  }
  for (Slot& slot : slots_) {
    if (slot.pid == 0) continue;
    while (::waitpid(slot.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    slot.pid = 0;
  }
}

}  // namespace ringwell::prepax
