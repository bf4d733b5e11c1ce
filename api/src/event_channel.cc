#include "event_channel.h"

#include <algorithm>
#include <cstring>

namespace ringwell::api {

void EventChannel::Push(std::string_view text) {
  MutexLock lock(mutex_);
  if (gone_ || finished_) return;
  pending_.append(text);
  if (suspended_) {
    suspended_ = false;
    resume_();
  }
}

void EventChannel::Finish() {
  MutexLock lock(mutex_);
  if (gone_ || finished_) return;
  finished_ = true;
  if (suspended_) {
    suspended_ = false;
    resume_();
  }
}

bool EventChannel::Gone() const {
  MutexLock lock(mutex_);
  return gone_;
}

void EventChannel::OnClose(std::function<void()> release) {
  MutexLock lock(mutex_);
  if (!gone_) {
    release_ = std::move(release);
    return;
  }
  lock.Unlock();
  if (release) release();
}

void EventChannel::Abandon() {
  MutexLock lock(mutex_);
  if (gone_) return;
  gone_ = true;
  pending_.clear();
  if (suspended_) {
    suspended_ = false;
    resume_();
  }
}

void EventChannel::Bind(std::function<void()> suspend, std::function<void()> resume) {
  MutexLock lock(mutex_);
  suspend_ = std::move(suspend);
  resume_ = std::move(resume);
}

long EventChannel::Read(char* buffer, std::size_t max) {
  MutexLock lock(mutex_);
  if (!pending_.empty() && !gone_) {
    const std::size_t count = std::min(max, pending_.size());
    std::memcpy(buffer, pending_.data(), count);
    pending_.erase(0, count);
    return static_cast<long>(count);
  }
  if (finished_ || gone_) return -1;
  suspended_ = true;
  suspend_();
  return 0;
}

void EventChannel::Unbind() {
  std::function<void()> release;
  {
    MutexLock lock(mutex_);
    gone_ = true;
    suspended_ = false;
    release.swap(release_);
  }
  if (release) release();
}

}  // namespace ringwell::api
