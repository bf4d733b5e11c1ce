#include "request_queue.h"

#include <cmath>
#include <functional>

#include "ringwell/common/text.h"

namespace ringwell::dialqueue {
namespace {

std::string Folded(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = FoldAscii(c);
  return folded;
}

}  // namespace

std::size_t CRequestQueue::PairHash::operator()(
    const std::pair<std::string, std::string>& key) const {
  const std::size_t a = std::hash<std::string>{}(key.first);
  const std::size_t b = std::hash<std::string>{}(key.second);
  return a ^ (b + 0x9E3779B97F4A7C15ull + (a << 6) + (a >> 2));
}

void CRequestQueue::Push(CQueueEntry entry) {
  RecursiveMutexLock lock(mutex_);
  // A time that is not a number would break the order; it counts as the
  // invalid date.
  const OleDate time = std::isnan(entry.NextTime) ? kInvalidDate : entry.NextTime;
  const Position position{LinearDate(time), next_sequence_++};
  std::string folded_id = Folded(entry.Id);
  std::string folded_number = Folded(entry.PhoneNumber);
  entry.Taken = false;
  entries_.emplace_hint(entries_.end(), position, std::move(entry));
  free_.insert(free_.end(), position);
  ++count_by_id_[folded_id];
  by_number_[{std::move(folded_id), std::move(folded_number)}].insert(position);
  for (Listener* listener : listeners_) listener->QueueChanged();
}

void CRequestQueue::AddListener(Listener* listener) {
  RecursiveMutexLock lock(mutex_);
  listeners_.push_back(listener);
}

void CRequestQueue::RemoveListener(Listener* listener) {
  RecursiveMutexLock lock(mutex_);
  std::erase(listeners_, listener);
}

bool CRequestQueue::PeekFirstFree(CQueueEntry* entry) const {
  RecursiveMutexLock lock(mutex_);
  if (free_.empty()) return false;
  *entry = entries_.at(*free_.begin());
  return true;
}

void CRequestQueue::MarkFirstFreeTaken() {
  RecursiveMutexLock lock(mutex_);
  if (free_.empty()) return;
  entries_.at(*free_.begin()).Taken = true;
  free_.erase(free_.begin());
}

void CRequestQueue::Remove(std::string_view id, std::string_view phone_number) {
  RecursiveMutexLock lock(mutex_);
  const std::string folded_id = Folded(id);
  auto found = by_number_.find({folded_id, Folded(phone_number)});
  if (found == by_number_.end()) return;
  const Position position = *found->second.begin();
  found->second.erase(found->second.begin());
  if (found->second.empty()) by_number_.erase(found);
  entries_.erase(position);
  free_.erase(position);
  auto count = count_by_id_.find(folded_id);
  if (--count->second == 0) count_by_id_.erase(count);
}

bool CRequestQueue::ContainsId(std::string_view id) const {
  RecursiveMutexLock lock(mutex_);
  return count_by_id_.contains(Folded(id));
}

std::size_t CRequestQueue::Size() const {
  RecursiveMutexLock lock(mutex_);
  return entries_.size();
}

std::size_t CRequestQueue::CountDue(OleDate now) const {
  const double limit = LinearDate(now);
  RecursiveMutexLock lock(mutex_);
  std::size_t due = 0;
  for (const Position& position : free_) {
    if (position.time > limit) break;
    ++due;
  }
  return due;
}

std::vector<CQueueEntry> CRequestQueue::Snapshot() const {
  RecursiveMutexLock lock(mutex_);
  std::vector<CQueueEntry> all;
  all.reserve(entries_.size());
  for (const auto& [position, entry] : entries_) all.push_back(entry);
  return all;
}

void CRequestQueue::Clear() {
  RecursiveMutexLock lock(mutex_);
  entries_.clear();
  free_.clear();
  by_number_.clear();
  count_by_id_.clear();
}

}  // namespace ringwell::dialqueue
