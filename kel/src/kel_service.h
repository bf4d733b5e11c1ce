// CKelService: the client's entry point. It knows the storage root
// (Location), validates a finished request and writes it as a request file
// into the root's Inbox directory, where the preprocessing daemon picks it up
// (SubmitRequest). The file store (SubmitFile, DeleteFile, GetFileInfo,
// Files) and the report side (GetReport, CancelRequest) use the directories
// that Location derives.
//
// The operations live in separate files: kel_service.cc (creation, Location,
// SubmitRequest), kel_validation.cc (the checks submission runs on the
// objects), submission_checks.cc (those on the file about to be written),
// kel_file_store.cc (the file store) and kel_report_access.cc (GetReport,
// CancelRequest).
//
// The file store is the directory Files/{0}/ below the location. Names given
// to DeleteFile and GetFileInfo must be plain file names (no "/", not "." or
// ".."). A stored file is written under a temporary name and renamed into
// place, so a reader never sees half a copy.
//
// A report is read without a lock (the report generator saves atomically);
// CancelRequest holds the report's DirectoryLock, the one the report generator
// takes, from before its load to after its atomic save, so no concurrent
// update is lost. Request identifiers that are not plain names never become
// paths.
//
// Thread-safety: belongs to the client's thread; nothing is locked in memory.
#pragma once

#include <chrono>
#include <string>

#include "ringwell/common/com.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/xml.h"
#include "ringwell/kel/kel.h"

namespace ringwell::kel {

class CKelService final : public ComObject<IKelService, ISupportErrorInfo> {
 public:
  // How long GetReport and CancelRequest wait before their one retry of a
  // file access, load or delete.
  static constexpr std::chrono::milliseconds kRetryDelay{500};

  // Starts with the storage root of the configuration as its location when
  // the configuration names an existing directory, else with none; never
  // fails for that.
  explicit CKelService(std::chrono::milliseconds retry_delay = kRetryDelay);

  // Copies the wav file at `a_bstrFilePath` (extension ".wav" in any case)
  // into Files/{0}/ under its own name, writable by its owner. S_FALSE when it
  // was not copied and `a_bOverwrite` is zero (an existing file is kept).
  HRESULT SubmitFile(const char* a_bstrFilePath, std::int32_t a_bOverwrite) override;
  // The location as it was accepted.
  HRESULT get_Location(std::string* p_bstrValue) override;
  // Accepts an existing, readable directory (a null string is empty); the
  // location is stored as given, the directories below it with a "/" added.
  HRESULT put_Location(const char* newVal) override;
  // Deletes the stored file `a_bstrName` (a plain name).
  HRESULT DeleteFile(const char* a_bstrName) override;
  // Describes the stored file `a_bstrName` (a plain name); S_FALSE and null
  // when there is none.
  HRESULT GetFileInfo(const char* a_bstrName, IKelFileInfo** a_ppFileInfo) override;
  // Validates the request (a request of this toolkit), gives it a new
  // identifier, returns it and writes Inbox/<identifier>.xml. A request file
  // that would hold what XML 1.0 cannot carry (control characters, bytes that
  // are not UTF-8), or a request past the configured limits of a whole request
  // (MaxRequestParts, MaxRequestTextBytes, MaxRequestAudioSeconds), is refused
  // with E_INVALIDARG before anything is written.
  HRESULT SubmitRequest(IKelRequest* a_pRequest, std::string* a_pbstrRequestId) override;
  // Deletes Requests/<id>.xml and marks the report and its "Scheduled"
  // sub-reports "Canceled". S_FALSE, changing nothing, when there is no
  // scheduled request file or the report already has a final status.
  HRESULT CancelRequest(const char* a_bstrRequestId) override;
  // A snapshot of Reports/<id>.xml; S_FALSE and null when there is none.
  HRESULT GetReport(const char* a_bstrRequestId, IKelReport** a_ppReport) override;
  // Descriptions of the stored wav files, in name order; empty when the
  // store's directory is missing.
  HRESULT get_Files(IKelFiles** a_ppFiles) override;

  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;

  // The checks submission runs, each given one object; S_OK or the failure of
  // the first rule broken (the object must offer the named interface, else
  // E_INVALIDARG).
  //   ValidateRequest:  no negative delay, attempt, ring or greeting number;
  //                     at least one recipient; StopTime after StartTime; the
  //                     call tree's message and each of its responses.
  //   ValidateMessage:  Replays and Timeout not negative.
  //   ValidateResponse: its message, then its nested responses, down to
  //                     kMaxCallTreeDepth levels; a response found below
  //                     itself (a cycle, which could never be written) or a
  //                     deeper tree is refused with E_INVALIDARG.
  HRESULT ValidateRequest(IUnknown* a_pRequest);
  HRESULT ValidateMessage(IUnknown* a_pMessage);
  HRESULT ValidateResponse(IUnknown* a_pResponse);

 private:
  // ValidateResponse with the responses above this one (outermost first).
  HRESULT ValidateResponseBelow(IUnknown* a_pResponse, std::vector<const void*>& above);

  // Accepts `location` when its directory can be read; `report` says whether
  // a refusal is reported to the caller.
  HRESULT SetLocation(const std::string& location, bool report);
  HRESULT Save(const xml::Document& document, const std::string& id);
  // What the request file about to be written must satisfy
  // (submission_checks.cc): content XML 1.0 can carry, and the limits of a
  // whole request (parts, text, the audio of the stored recordings it names).
  // S_OK, or E_INVALIDARG with a description naming the fault or the limit;
  // nothing is logged.
  HRESULT CheckRequestFile(const xml::Document& document) const;
  // The seconds of the stored recordings the "File" parts of `request` name
  // (recordings that are missing or unreadable count nothing).
  double StoredAudioSeconds(pugi::xml_node request) const;

  // The file store's directory, Files/{0}/ below the location.
  std::string UserDirectory() const;
  // GetFileInfo after its argument checks: describes the stored file `name`
  // into `info` (S_FALSE, leaving it null, when there is none).
  HRESULT DescribeStoredFile(const std::string& name, ComPtr<IKelFileInfo>* info);
  // Whether `path` can be opened for reading, testing once more after the
  // retry delay.
  bool ReadableWithRetry(const std::string& path) const;
  // Loads the report at `path`, once more after the retry delay; false with
  // the parser's reason when neither load succeeded. Throws ComError when a
  // load fails outright (memory).
  bool LoadWithRetry(const std::string& path, xml::Document* document, std::string* reason) const;
  // Deletes `path`, once more after the retry delay; whether it is gone.
  bool DeleteWithRetry(const std::string& path) const;
  // CancelRequest once the request file was found: under the report's lock,
  // S_FALSE for a report with a final status ("Completed", "Canceled", an
  // error status), else the request file is deleted and the report marked.
  HRESULT CancelUnderReportLock(const std::string& request_path, const std::string& report_path);

  std::string location_;
  StorageLayout layout_;
  std::chrono::milliseconds retry_delay_;
};

}  // namespace ringwell::kel
