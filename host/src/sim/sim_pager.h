// SimPager: the simulated pager of the reference host: it sends nothing, and
// every result's protocol says "Simulated page to ...". Each page of a batch
// asks the scenario about its number ("failure" fails the page, anything else
// sends it), is appended to the pager log as one tab-separated line (time,
// number, service, request ID, status, message), and gets a Call result with
// Status and Answer "Sent" or "Failed".
//
// Thread-safety: the scheduler calls it from the pager worker; the log is
// appended under a lock, one write per page.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "page_log.h"
#include "ringwell/common/com.h"
#include "ringwell/dialqueue/dialqueue.h"
#include "sim/scenario.h"

namespace ringwell::host {

class SimPager final : public ComObject<dialqueue::IPager> {
 public:
  SimPager(std::shared_ptr<Scenario> scenario, std::string log_path);

  HRESULT Describe(std::string* a_pbstrDescription) override;
  HRESULT SendPages(std::int32_t count, const char* const* numbers, const char* const* services,
                    const char* const* request_xmls, std::vector<std::string>* results) override;

 private:
  const std::shared_ptr<Scenario> scenario_;
  PageLog log_;
};

}  // namespace ringwell::host
