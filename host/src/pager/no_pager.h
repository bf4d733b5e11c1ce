// NoPager: what the scheduler is given when the host has no pager (SIP lines
// without --pager-config, or --no-pager). Nothing is sent: every page of a
// batch gets a Call result with Status "Failed", Answer "Not sent" and the
// Error "no pager is configured", so a page request ends failed in its report
// (after its error retries) instead of waiting for ever or being told "Sent".
//
// Thread-safety: no state; may be called from any thread.
#pragma once

#include <string>
#include <vector>

#include "ringwell/common/com.h"
#include "ringwell/dialqueue/dialqueue.h"

namespace ringwell::host {

inline constexpr char kNoPagerError[] = "no pager is configured";

class NoPager final : public ComObject<dialqueue::IPager> {
 public:
  HRESULT Describe(std::string* a_pbstrDescription) override;
  HRESULT SendPages(std::int32_t count, const char* const* numbers, const char* const* services,
                    const char* const* request_xmls, std::vector<std::string>* results) override;
};

}  // namespace ringwell::host
