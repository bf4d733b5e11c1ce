// What every line and pager of the host does where the scheduler calls it:
// check the arguments, and turn what the work throws into the status the
// scheduler expects, so that no exception crosses the interface.
//
// Thread-safety: pure functions; DeviceCall runs its body on the calling
// thread.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "ringwell/common/error_info.h"
#include "ringwell/common/hresult.h"

namespace ringwell::host {

// Runs `body` (returning HRESULT): a thrown ComError gives its code, no
// memory E_OUTOFMEMORY, anything else E_FAIL.
template <class Body>
HRESULT DeviceCall(Body&& body) noexcept {
  try {
    return body();
  } catch (const ComError& e) {
    return e.code();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
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

}  // namespace ringwell::host
