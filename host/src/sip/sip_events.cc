#include "sip_events.h"

namespace ringwell::host::sip {

const CEventLog& SipEvents() {
  static const CEventLog log("Ringwell Host", "", MessageTable{});
  return log;
}

}  // namespace ringwell::host::sip
