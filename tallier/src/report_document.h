// The report file format and its edits, on documents in memory: building a
// report from a request, setting statuses, appending call results. Files,
// locks and retries are the caller's (report_file.h, ctallier.h).
//
//   <Report xmlns=".." xmlns:dt=".." UserID=".." ID=".." Type=".." Status="">
//     <SubReport Recipient="5551234" Status="">   one per non-blank Recipient
//       <Call ...>...</Call>                       one per call result added
//     </SubReport>
//     <AdditionalInfo>...</AdditionalInfo>          when the request has one
//   </Report>
//
// Elements are found by name alone; a sub-report is addressed by the exact
// text of its Recipient attribute.
//
// Every function throws ComError for content it cannot use (E_INVALIDARG,
// saying why in the error object when the content would make the report
// unreadable) and when memory runs out (E_OUTOFMEMORY); the document may then
// be half changed and must not be saved. A call result text that does not
// parse at all is not thrown: AppendCallResult returns false.
//
// Thread-safety: functions of distinct documents may run at once.
#pragma once

#include <string>
#include <string_view>

#include "ringwell/common/xml.h"

namespace ringwell::tallier {

inline constexpr char kReportElement[] = "Report";
inline constexpr char kSubReportElement[] = "SubReport";
inline constexpr char kCallElement[] = "Call";
inline constexpr char kRecipientElement[] = "Recipient";
inline constexpr char kAdditionalInfoElement[] = "AdditionalInfo";
inline constexpr char kRecipientAttribute[] = "Recipient";
inline constexpr char kStatusAttribute[] = "Status";
// Recipient of UpdateStatus that addresses the report and every sub-report.
inline constexpr char kAllRecipients[] = "*";

struct NewReport {
  std::string id;  // the request's ID attribute, not checked
  xml::Document document;
};

// The report of `request`: its root (the document's first child, which must be
// an element) gives UserID, ID and Type, each required; every Recipient
// element whose text is not blank gives a sub-report; the root's
// AdditionalInfo child is copied without its xmlns attribute.
NewReport BuildReport(xml::Document& request);

// Sets `status` on every sub-report whose Recipient equals `recipient`, on
// every sub-report and the report for "*", and on the report alone for "".
void SetStatus(xml::Document& report, std::string_view recipient, std::string_view status);

// Appends a copy of the call result `result_xml` (a document whose first node
// is its Call element, holding only elements) to every sub-report whose
// Recipient equals `recipient`, with xmlns removed from the Call element and
// xmlns:dt from its children. Returns false, changing nothing, when the text
// does not parse; it is parsed only when some sub-report matches.
bool AppendCallResult(xml::Document& report, std::string_view recipient,
                      std::string_view result_xml);

}  // namespace ringwell::tallier
