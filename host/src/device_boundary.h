// What every line and pager of the host does where the scheduler calls it:
// check the arguments, and turn what the work throws into the status the
// scheduler expects, so that no exception crosses the interface.
//
// Thread-safety: pure functions; DeviceCall and SendEachPage run their
// bodies on the calling thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "call_record.h"
#include "ringwell/common/error_info.h"
#include "ringwell/common/hresult.h"

namespace ringwell::host {

// Runs `body` (returning HRESULT): a thrown ComError gives its code, no
// memory E_OUTOFMEMORY, anything else E_FAIL.
template <class Body>
HRESULT DeviceCall(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return CaughtFailure().code();
  }
}

// The arguments of a call: every pointer given.
inline bool CallArgumentsGiven(const char* number, const char* request_xml, const char* wav_dir,
                               const std::string* result) {
  return number != nullptr && request_xml != nullptr && wav_dir != nullptr && result != nullptr;
}

// The arguments of a batch of pages: the lists given unless the batch is
// empty; a missing entry of a list reads as "".
inline bool PageArgumentsGiven(std::int32_t count, const char* const* numbers,
                               const char* const* services, const char* const* request_xmls,
                               const std::vector<std::string>* results) {
  return results != nullptr && count >= 0 &&
         (count == 0 || (numbers != nullptr && services != nullptr && request_xmls != nullptr));
}
inline std::string PageField(const char* const* values, std::int32_t i) {
  return values[i] != nullptr ? values[i] : "";
}

// A pager's Describe: `text` into the description.
inline HRESULT Describe(std::string* description, std::string text) {
  if (description == nullptr) return E_POINTER;
  *description = std::move(text);
  return S_OK;
}

// A batch of pages sent one at a time: the arguments checked, then the
// CallRecord `page(i)` makes for page i becomes its Call result.
template <class Page>
HRESULT SendEachPage(std::int32_t count, const char* const* numbers, const char* const* services,
                     const char* const* request_xmls, std::vector<std::string>* results,
                     Page&& page) {
  if (!PageArgumentsGiven(count, numbers, services, request_xmls, results)) return E_POINTER;
  return DeviceCall([&] {
    results->clear();
    for (std::int32_t i = 0; i < count; ++i) results->push_back(CallResultXml(page(i)));
    return S_OK;
  });
}

}  // namespace ringwell::host
