// The report file format and its edits, on documents in memory: building a
// report from a request, setting statuses, appending call results. Files,
// locks and retries are the caller's (report_file.h, ctallier.h).
//
//   <Report xmlns=".." xmlns:dt=".." UserID=".." ID=".." Type=".." Status="">
//     <SubReport Recipient="5551234" Status="">   one per non-blank Recipient
//       <Call ...>...</Call>                       one per call result added
//     </SubReport>
//     <AdditionalInfo>...</AdditionalInfo>          when the request has one
//     <RequestRecord>...</RequestRecord>            once scheduled (request_record.h)
//   </Report>
//
// Elements are found by name alone; a sub-report is addressed by the exact
// text of its Recipient attribute.
//
// Every function throws ComError for content it cannot use (E_INVALIDARG,
// saying why in the error object when the content would make the report
// unreadable) and when memory runs out (E_OUTOFMEMORY); the document may then
// be half changed and must not be saved. A call result text that does not
// parse at all is not thrown: PrepareCallResult says so.
//
// Thread-safety: functions of distinct documents may run at once.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ringwell/common/error_info.h"
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

// The sub-reports of a report, all of them in document order and by the
// exact text of their Recipient, found in one walk of the document: a change
// then reaches its sub-reports without walking a large report again. It stays
// right while the document changes only through SetStatus and
// AppendPreparedCall (with Rebuild after a call that holds sub-reports).
class SubReportIndex {
 public:
  explicit SubReportIndex(const xml::Document& report) { Rebuild(report); }
  void Rebuild(const xml::Document& report);
  const std::vector<pugi::xml_node>& All() const { return all_; }
  // The sub-reports whose Recipient equals `recipient`, in document order.
  std::span<const pugi::xml_node> Of(std::string_view recipient) const;

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::vector<pugi::xml_node> all_;
  std::unordered_map<std::string, std::vector<pugi::xml_node>, Hash, std::equal_to<>> by_recipient_;
};

// Sets `status` on every sub-report whose Recipient equals `recipient`, on
// every sub-report and the report for "*", and on the report alone for "".
void SetStatus(xml::Document& report, const SubReportIndex& index, std::string_view recipient,
               std::string_view status);

// A call result parsed and made ready to be copied into a report, apart from
// any report: a writer prepares it before it waits for the report.
struct PreparedCallResult {
  xml::Document document;  // its first child is the Call element, when usable
  bool parsed = false;     // false: the text does not parse
  // Why a parsed result cannot go into a report (as reports refuse it).
  std::optional<ComError> refusal;
  bool holds_sub_reports = false;  // elements named SubReport below the Call
  bool usable() const { return parsed && !refusal; }
};

// Parses `result_xml` and checks that a report can carry it; throws only when
// memory runs out.
PreparedCallResult PrepareCallResult(std::string_view result_xml);

// Appends a copy of the prepared call (a document whose first node is its
// Call element, holding only elements; xmlns removed from the Call element
// and xmlns:dt from its children) to every sub-report whose Recipient equals
// `recipient`, when it is usable. Returns whether any sub-report matched (so
// whether an unusable result was refused).
bool AppendPreparedCall(const SubReportIndex& index, std::string_view recipient,
                        const PreparedCallResult& call);

}  // namespace ringwell::tallier
