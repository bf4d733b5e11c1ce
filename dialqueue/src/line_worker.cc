#include "line_worker.h"

#include <system_error>

#include "dialqueue_log.h"
#include "failure_boundary.h"
#include "request_files.h"

namespace ringwell::dialqueue {

LineWorker::LineWorker(Job& job, SchedulerState& state, std::int32_t line, const Settings& settings)
    : job_(job), state_(state), line_(line), settings_(settings) {
  try {
    thread_ = std::jthread([this](std::stop_token stop) {
      if (settings_.dispatcher != nullptr) {
        TakeDispatched(stop);
      } else {
        Poll(stop);
      }
    });
  } catch (const std::system_error& e) {
    // A line without its worker would never call: its owner is not made.
    LogFailure(dialqueue_msg::kErrorIn, settings_.owner, ErrorText(E_FAIL));
    throw ComError(e.code().value() != 0 ? HresultFromErrno(e.code().value()) : E_FAIL);
  }
}

LineWorker::~LineWorker() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
}

void LineWorker::Poll(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    CQueueEntry first;
    if (settings_.queue->PeekFirstFree(&first) && state_.lines().TryAcquire(line_)) {
      Guarded(dialqueue_msg::kXmlErrorIn, settings_.operation, {.line = line_}, [&] {
        std::vector<CQueueEntry> entries = TakeDueEntries();
        if (!entries.empty()) job_.Process(std::move(entries), stop);
      });
      state_.lines().ReleaseLine(line_);
    }
    job_.Rest(stop);
  }
}

void LineWorker::TakeDispatched(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    CQueueEntry entry;
    if (!settings_.dispatcher->WaitForEntry(line_, &entry, stop)) break;
    Guarded(dialqueue_msg::kXmlErrorIn, settings_.operation, {.line = line_}, [&] {
      std::vector<CQueueEntry> entries;
      entries.push_back(std::move(entry));
      job_.Process(std::move(entries), stop);
    });
    state_.lines().ReleaseLine(line_);
    job_.Rest(stop);
  }
}

std::vector<CQueueEntry> LineWorker::TakeDueEntries() {
  std::vector<CQueueEntry> entries;
  CRequestQueue& queue = *settings_.queue;
  QueueLock lock(queue);
  const std::shared_ptr<Clock> clock = state_.clock();
  // The first free entry may have changed since it was looked at. Entries
  // are taken in order while they are due; the first one that is not ends
  // the batch even if later ones are.
  CQueueEntry entry;
  while (entries.size() < settings_.batch_size && queue.PeekFirstFree(&entry) &&
         IsDue(entry, clock->Now())) {
    queue.MarkFirstFreeTaken();
    entries.push_back(std::move(entry));
  }
  return entries;
}

HRESULT LineWorker::LoadRequest(const CQueueEntry& entry,
                                std::shared_ptr<const std::string>* request_xml,
                                const std::stop_token& stop) const {
  const HRESULT loaded = state_.request_texts().Get(entry.RequestFile, request_xml);
  if (loaded == S_FALSE) {
    CRequestQueue& queue = *settings_.queue;
    QueueLock lock(queue);
    queue.Remove(entry.Id, entry.PhoneNumber);
    DeleteRequestFiles(entry, *state_.clock(), stop);
  }
  return loaded;
}

}  // namespace ringwell::dialqueue
