// Tallier, the report generator: creates a request's report file and records
// statuses and call results in it. The preprocessing daemon and the scheduler
// use it; the toolkit reads the files it writes.
//
// A report file (Reports/ID.xml) holds the request's status, one SubReport
// per recipient with its status, and the Call results of each recipient:
//   <Report xmlns=".." xmlns:dt=".." UserID=".." ID=".." Type="Call" Status="..">
//     <SubReport Recipient="5551234" Status="..."><Call Status=".." .../></SubReport>
//     <AdditionalInfo>...</AdditionalInfo>
//   </Report>
//
// Every update holds the report's advisory lock (FileLock) from before its load
// to after its atomic save, so concurrent writers in any process lose nothing.
//
// Thread-safety: one object may be called from several threads at once.
#pragma once

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

inline constexpr Guid kTallierClsid = "{07947EEF-AECE-49EF-9F5C-DD1805A8284C}"_guid;
inline constexpr Guid kTallierLibId = "{7B65F26E-BA0A-48AD-9520-2E77C847CA74}"_guid;
inline constexpr char kTallierProgId[] = "Tallier.Tallier.1";
inline constexpr char kTallierVersionIndependentProgId[] = "Tallier.Tallier";

}  // namespace ringwell::tallier
