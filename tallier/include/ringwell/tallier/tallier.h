// Tallier, the report generator: creates a request's report file and records
// statuses and call results in it. The preprocessing daemon and the scheduler
// use it; the toolkit reads the files it writes.
//
// A report file (Reports/ID.xml) holds the request's status, one SubReport
// per recipient with its status, and the Call results of each recipient:
//   <Report xmlns=".." xmlns:dt=".." UserID=".." ID=".." Type="Call" Status="..">
//     <SubReport Recipient="5551234" Status="..."><Call Status=".." .../></SubReport>
//     <AdditionalInfo>...</AdditionalInfo>
//     <RequestRecord StartTime=".." StopTime=".."><Part ...>...</Part></RequestRecord>
//   </Report>
// (RequestRecord, optional: what the request asked for, kept from its
// scheduling on; see ReportChange::kRequestRecord.)
//
// Every update holds the report's advisory lock (DirectoryLock) from before its
// load to after its atomic save, so concurrent writers in any process lose
// nothing.
// Content that would make the report unreadable (a call result without a Time
// date, a Duration that is no integer, text XML cannot carry) is refused with
// E_INVALIDARG and an event; the file stays well-formed XML 1.0.
//
// ITallierChanges, offered beside ITallier, applies several status changes and
// call results in one load-change-save: a line books the start of a call, or
// its result with the recipient's new status, at the cost of one save.
//
// Thread-safety: one object may be called from several threads at once.
#pragma once

#include <cstdint>

#include "ringwell/common/com.h"

namespace ringwell::tallier {

using namespace ringwell::literals;

struct ITallier : IUnknown {
  static constexpr Guid kIid = "{2F4830BA-BBCA-4242-9189-F6303FE660B2}"_guid;
  using Base = IUnknown;
  // Creates Reports/ID.xml below the configured root from the request file at
  // `a_bstrRequestXMLFile` (replacing an existing report).
  virtual HRESULT CreateNewReport(const char* a_bstrRequestXMLFile) = 0;
  // Sets a status: recipient "*" sets the report and every sub-report, "" only
  // the report, a number every sub-report whose Recipient equals it exactly.
  virtual HRESULT UpdateStatus(const char* a_bstrReportXMLFile, const char* a_bstrRecipientNumber,
                               const char* a_bstrStatus) = 0;
  // Appends a copy of the Call element in `a_bstrResultXML` to every sub-report
  // whose Recipient equals the number exactly.
  virtual HRESULT AddCallResult(const char* a_bstrReportXMLFile, const char* a_bstrRecipientNumber,
                                const char* a_bstrResultXML) = 0;
};

// One change of a report, applied as UpdateStatus or AddCallResult would; or
// kRequestRecord: keeps in the report what the request asks for (its window,
// and each message part's text or recording name), from the request XML as
// the daemon schedules it, so that the report still says it once the request
// file is gone. It becomes the report's optional RequestRecord element, which
// readers that do not know it pass by; a request that is no XML is refused.
struct ReportChange {
  enum Kind : std::int32_t { kStatus, kCallResult, kRequestRecord };
  Kind kind;
  const char* recipient;  // as the recipient number of those calls ("" for a record)
  const char* text;       // the status, the call result XML, or the request XML
};

struct ITallierChanges : IUnknown {
  static constexpr Guid kIid = "{DDE90C78-79E0-4FDA-9B68-8A1603AF4760}"_guid;
  using Base = IUnknown;
  // Applies `changes` in order and saves the report once. A change that fails
  // (a status or a call result that is refused) is reported as its single call
  // would be and left out; the others are saved, and the first failure is
  // returned. A report that does not load, or a failing save, changes nothing.
  virtual HRESULT ApplyChanges(const char* a_bstrReportXMLFile, const ReportChange* changes,
                               std::int32_t count) = 0;
};

inline constexpr Guid kTallierClsid = "{07947EEF-AECE-49EF-9F5C-DD1805A8284C}"_guid;
inline constexpr Guid kTallierLibId = "{7B65F26E-BA0A-48AD-9520-2E77C847CA74}"_guid;
inline constexpr char kTallierProgId[] = "Tallier.Tallier.1";
inline constexpr char kTallierVersionIndependentProgId[] = "Tallier.Tallier";

}  // namespace ringwell::tallier
