// ringwell-host --sip-test NUMBER: one call on the configured SIP account, to
// try the account before the lines take real requests. The host registers
// (when a registrar is given), calls the number as a line would, plays a
// short tone when the call is answered, hangs up and says what happened on
// standard output: answered (and by whom), busy, no answer, refused with the
// SIP reply, registration failed, or failed with the reason; then the call's
// protocol, one step a line.
//
// Thread-safety: runs on the calling thread; the SIP stack has its own.
#pragma once

#include <string>

#include "sip_account.h"

namespace ringwell::host::sip {

// Places the call on the first of `options.lines` (line 1 when none is
// given) and returns the exit code: 0 when the call was answered, else 1.
int RunSipTest(SipOptions options, const std::string& number);

}  // namespace ringwell::host::sip
