#include "line_dispatcher.h"

#include <algorithm>
#include <cmath>

#include "request_files.h"

namespace ringwell::dialqueue {
namespace {

// How soon a line held by the pager is looked at again, and the longest wait
// before the clock is read again (it may have been set meanwhile).
constexpr auto kBusyLineRetry = std::chrono::milliseconds(20);
constexpr auto kLongestWait = std::chrono::milliseconds(1000);

}  // namespace

LineDispatcher::LineDispatcher(SchedulerState& state) : state_(state) {
  // The thread first: when it cannot start, the queue is left without a
  // listener that would not outlive this constructor.
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  state_.dial_queue().AddListener(this);
}

LineDispatcher::~LineDispatcher() {
  state_.dial_queue().RemoveListener(this);
  thread_.request_stop();
  Wake();
  if (thread_.joinable()) thread_.join();
}

void LineDispatcher::QueueChanged() { Wake(); }

std::size_t LineDispatcher::WaitingLines() {
  MutexLock lock(mutex_);
  return waiting_.size();
}

void LineDispatcher::Wake() {
  {
    MutexLock lock(wake_mutex_);
    woken_ = true;
  }
  wake_.notify_one();
}

bool LineDispatcher::WaitForEntry(std::int32_t line, CQueueEntry* entry,
                                  const std::stop_token& stop) {
  Waiting waiting;
  MutexLock lock(mutex_);
  const auto position = waiting_.emplace(line, &waiting);
  lock.Unlock();
  Wake();
  lock.Lock();
  waiting.wake.wait(lock.native(), stop, [&] { return waiting.entry.has_value(); });
  if (waiting.entry) {
    *entry = std::move(*waiting.entry);
    if (!stop.stop_requested()) return true;
    // Handed over as the line stopped: back to the queue, free for others.
    lock.Unlock();
    RequeueEntry(state_.dial_queue(), *entry);
    state_.lines().ReleaseLine(line);
    return false;
  }
  waiting_.erase(position);
  return false;
}

std::optional<std::chrono::milliseconds> LineDispatcher::Dispatch() {
  MutexLock lock(mutex_);
  CRequestQueue& queue = state_.dial_queue();
  while (!waiting_.empty()) {
    QueueLock queue_lock(queue);
    CQueueEntry entry;
    if (!queue.PeekFirstFree(&entry)) return std::nullopt;
    const OleDate now = state_.clock()->Now();
    if (!IsDue(entry, now)) {
      const double days = LinearDate(entry.NextTime) - LinearDate(now);
      const double ms = std::ceil(std::min(days * 86'400'000.0, 1e9));
      return std::min(kLongestWait, std::chrono::milliseconds(static_cast<std::int64_t>(ms)));
    }
    auto line = waiting_.begin();
    while (line != waiting_.end() && !state_.lines().TryAcquire(line->first)) ++line;
    if (line == waiting_.end()) return kBusyLineRetry;  // every waiting line is the pager's now
    queue.MarkFirstFreeTaken();
    line->second->entry = std::move(entry);
    line->second->wake.notify_one();
    waiting_.erase(line);
  }
  return std::nullopt;
}

void LineDispatcher::Run(const std::stop_token& stop) {
  std::optional<std::chrono::milliseconds> wait;
  while (!stop.stop_requested()) {
    {
      MutexLock lock(wake_mutex_);
      auto woken = [&] {
        wake_mutex_.AssertHeld();
        return woken_;
      };
      if (wait) {
        wake_.wait_for(lock.native(), stop, *wait, woken);
      } else {
        wake_.wait(lock.native(), stop, woken);
      }
      woken_ = false;
    }
    if (stop.stop_requested()) break;
    wait = Dispatch();
  }
}

}  // namespace ringwell::dialqueue
