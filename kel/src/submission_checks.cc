// The checks SubmitRequest runs on the request file it is about to write:
// every reader (the preprocessing daemon, the report generator, other XML
// parsers) must accept what the toolkit writes.
#include "kel_log.h"
#include "kel_service.h"
#include "ringwell/common/xml_content.h"

namespace ringwell::kel {
namespace {

constexpr char kSubmitRequest[] = "CKelService::SubmitRequest";

HRESULT Refused(const std::string& why) {
  return KelReporter(kKelServiceProgId)
      .TwoStrings(kel_msg::kErrorIn, kSubmitRequest, why, E_INVALIDARG, LogFlag::kNo);
}

}  // namespace

HRESULT CKelService::CheckRequestFile(const xml::Document& document) const {
  // pugixml takes control characters, bytes that are not UTF-8 and the like
  // that XML 1.0 does not: the report generator would refuse the request.
  if (std::optional<std::string> fault = xml::XmlContentFault(document.FirstChild())) {
    return Refused("The request cannot be written: " + *fault + ".");
  }
  return S_OK;
}

}  // namespace ringwell::kel
