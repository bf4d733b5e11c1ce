// CQueueEntry: one recipient of one scheduled request, as the dial queue and
// the page queue hold it, and the due test the workers apply to it.
//
// Thread-safety: a value; the queues copy entries in and out under their lock.
#pragma once

#include <cstdint>
#include <string>

#include "ringwell/common/ole_date.h"

namespace ringwell::dialqueue {

struct CQueueEntry {
  std::string Id;                   // the request ID (attribute "ID" of the request)
  std::string RequestFile;          // the request file path as handed to AddRequest
  std::string PhoneNumber;          // the recipient, blanks trimmed
  std::string Service;              // page requests: the recipient's "Service"; else empty
  OleDate NextTime = kInvalidDate;  // earliest local time of the next attempt
  OleDate StopTime = kInvalidDate;  // no attempt after this local time
  std::int32_t NumberOfAttemptsIfBusy = 0;
  std::int32_t DelayIfBusy = 0;  // minutes
  std::int32_t NumberOfAttemptsIfNoAnswer = 0;
  std::int32_t DelayIfNoAnswer = 0;  // minutes
  std::int32_t NumberOfAttemptsIfError = 0;
  std::int32_t DelayIfError = 0;  // minutes
  bool Taken = false;             // a worker has it and has not finished with it
  std::int32_t Share = 0;         // its share of the request, when hosts share the storage root
};

// True when the window closed before `now` (linear date values).
inline bool WindowClosed(const CQueueEntry& entry, OleDate now) {
  return LinearDate(entry.StopTime) < LinearDate(now);
}

// True when the entry should be handled now: its next attempt is due, or its
// window has closed (it is then failed without an attempt).
inline bool IsDue(const CQueueEntry& entry, OleDate now) {
  return LinearDate(entry.NextTime) <= LinearDate(now) || WindowClosed(entry, now);
}

}  // namespace ringwell::dialqueue
