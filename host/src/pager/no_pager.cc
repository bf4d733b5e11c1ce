#include "pager/no_pager.h"

#include "call_record.h"
#include "device_boundary.h"

namespace ringwell::host {

HRESULT NoPager::Describe(std::string* a_pbstrDescription) {
  if (a_pbstrDescription == nullptr) return E_POINTER;
  *a_pbstrDescription = "No pager";
  return S_OK;
}

HRESULT NoPager::SendPages(std::int32_t count, const char* const* numbers,
                           const char* const* services, const char* const* request_xmls,
                           std::vector<std::string>* results) {
  if (!PageArgumentsGiven(count, numbers, services, request_xmls, results)) return E_POINTER;
  return DeviceCall([&] {
    results->clear();
    for (std::int32_t i = 0; i < count; ++i) {
      CallRecord record;
      record.time = OleDateNow();
      record.status = "Failed";
      record.answer = "Not sent";
      record.error = kNoPagerError;
      record.protocol.push_back("Page to " + PageField(numbers, i) + " not sent: " + kNoPagerError +
                                " (ringwell-host runs without --pager-config)");
      results->push_back(CallResultXml(record));
    }
    return S_OK;
  });
}

}  // namespace ringwell::host
