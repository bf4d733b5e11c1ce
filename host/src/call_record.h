// The result of one call or page, as every line and pager of the host
// returns it to the scheduler: a Call element with the attributes Status and
// Error and the children Time (typed dateTime), Answer, Protocol (one line
// per step) and Duration (typed int, seconds); a line that tells who
// answered adds AnsweredBy ("Human", "Machine" or "Unknown"); a SIP line adds
// SipReply, the last SIP reply of note (attribute Code, the reason phrase as
// text).
//
// Thread-safety: plain values and a pure function.
#pragma once

#include <string>
#include <vector>

#include "ringwell/common/ole_date.h"

namespace ringwell::host {

struct CallRecord {
  std::string status;
  std::string error;
  OleDate time = 0;
  std::string answer;
  std::vector<std::string> protocol;
  int duration = 0;
  std::string answered_by;  // empty: no AnsweredBy element
  int sip_code = 0;         // 0: no SipReply element
  std::string sip_reason;
};

// The Call element of `record` as XML text.
std::string CallResultXml(const CallRecord& record);

struct CallWalk;
// An answered call whose walk could not play every part fails: Status
// "Failed" (the Answer stays "Answered"), the first part not played as the
// Error. Nothing changes when every part played.
void FailUnplayed(const CallWalk& walk, CallRecord* record);

}  // namespace ringwell::host
