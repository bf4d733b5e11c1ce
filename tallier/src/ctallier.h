// CTallier, the Tallier class: creates a request's report and records statuses
// and call results in report files (ITallier). An object holds only the
// storage root; every call takes the report's DirectoryLock from before the
// load to after the save, so updates from any number of threads and processes
// are never lost. The parsed reports themselves are kept between calls, in
// the process-wide ReportCache that all objects share (report_cache.h): a
// report is parsed again only when its file is no longer the one this process
// saved last, so another writer's change is always seen.
//
// Failures are reported through the "Tallier" event source and an error object
// whose source is "Tallier.Tallier.1", each entry with the texts of the
// message table and the request or report path beside it (EventContext): a
// file that does not load twice, and a call result that does not parse, give
// E_INVALIDARG with "Can't load request file", "Can't load report file" or
// "Can't load call result"; everything else is a caught failure with the
// operation's name and the failure's message text (ErrorReporter::Guard). A
// failed call leaves the report file as it was.
//
// It also offers ITallierChanges: several changes in one load-change-save.
//
// Thread-safety: one object may be called from several threads at once (the
// scheduler shares one among its line workers); it holds only the storage
// root, read when it is made, and the report cache locks itself.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "ringwell/common/com.h"
#include "ringwell/common/xml.h"
#include "ringwell/tallier/tallier.h"

namespace ringwell::tallier {

class CTallier final : public ComObject<ITallier, ITallierChanges> {
 public:
  // How long a failed load or save waits before its one retry.
  static constexpr std::chrono::milliseconds kRetryDelay{1000};

  // Reads the storage root from the configuration (logging what is wrong with
  // it, never failing). Tests may shorten the retry delay.
  explicit CTallier(std::chrono::milliseconds retry_delay = kRetryDelay);

  HRESULT CreateNewReport(const char* a_bstrRequestXMLFile) override;
  HRESULT UpdateStatus(const char* a_bstrReportXMLFile, const char* a_bstrRecipientNumber,
                       const char* a_bstrStatus) override;
  HRESULT AddCallResult(const char* a_bstrReportXMLFile, const char* a_bstrRecipientNumber,
                        const char* a_bstrResultXML) override;
  HRESULT ApplyChanges(const char* a_bstrReportXMLFile, const ReportChange* changes,
                       std::int32_t count) override;

  // Number of CTallier objects alive in this module.
  static int LiveObjects() { return live_objects_.load(); }

 protected:
  ~CTallier() override;

 private:
  // Loads the report at `path` under its lock, runs `change` on it and saves
  // it; `operation` names the failures.
  HRESULT Update(std::string_view operation, const char* path,
                 const std::function<HRESULT(xml::Document&)>& change);

  std::string root_;
  std::chrono::milliseconds retry_delay_;
  static inline std::atomic<int> live_objects_{0};
};

}  // namespace ringwell::tallier
