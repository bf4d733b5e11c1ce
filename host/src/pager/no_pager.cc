#include "pager/no_pager.h"

#include "device_boundary.h"

namespace ringwell::host {

HRESULT NoPager::Describe(std::string* a_pbstrDescription) {
  return host::Describe(a_pbstrDescription, "No pager");
}

HRESULT NoPager::SendPages(std::int32_t count, const char* const* numbers,
                           const char* const* services, const char* const* request_xmls,
                           std::vector<std::string>* results) {
  return SendEachPage(count, numbers, services, request_xmls, results, [&](std::int32_t i) {
    CallRecord record;
    record.time = OleDateNow();
    record.status = "Failed";
    record.answer = "Not sent";
    record.error = kNoPagerError;
    record.protocol.push_back("Page to " + PageField(numbers, i) + " not sent: " + kNoPagerError +
                              " (ringwell-host runs without --pager-config)");
    return record;
  });
}

}  // namespace ringwell::host
