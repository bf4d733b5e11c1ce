// CKelService: the client's entry point. It knows the storage root
// (Location), validates a finished request and writes it as a request file
// into the root's Inbox directory, where the preprocessing daemon picks it up
// (SubmitRequest). The file store (SubmitFile, DeleteFile, GetFileInfo,
// Files) and the report side (GetReport, CancelRequest) use the directories
// that Location derives.
//
// The operations live in separate files: kel_service.cc (creation, Location,
// SubmitRequest), kel_validation.cc (the checks submission runs), and
// kel_service_pending.cc (the file store and the report side, not yet
// offered).
//
// Thread-safety: belongs to the client's thread; nothing is locked.
#pragma once

#include <string>

#include "ringwell/common/com.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/xml.h"
#include "ringwell/kel/kel.h"

namespace ringwell::kel {

class CKelService final : public ComObject<IKelService, ISupportErrorInfo> {
 public:
  // Starts with the storage root of the configuration as its location when
  // the configuration names an existing directory, else with none; never
  // fails for that.
  CKelService();

  HRESULT SubmitFile(const char* a_bstrFilePath, std::int32_t a_bOverwrite) override;
  // The location as it was accepted.
  HRESULT get_Location(std::string* p_bstrValue) override;
  // Accepts an existing, readable directory (a null string is empty); the
  // location is stored as given, the directories below it with a "/" added.
  HRESULT put_Location(const char* newVal) override;
  HRESULT DeleteFile(const char* a_bstrName) override;
  HRESULT GetFileInfo(const char* a_bstrName, IKelFileInfo** a_ppFileInfo) override;
  // Validates the request (a request of this toolkit), gives it a new
  // identifier, returns it and writes Inbox/<identifier>.xml.
  HRESULT SubmitRequest(IKelRequest* a_pRequest, std::string* a_pbstrRequestId) override;
  HRESULT CancelRequest(const char* a_bstrRequestId) override;
  HRESULT GetReport(const char* a_bstrRequestId, IKelReport** a_ppReport) override;
  HRESULT get_Files(IKelFiles** a_ppFiles) override;

  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;

  // The checks submission runs, each given one object; S_OK or the failure of
  // the first rule broken (the object must offer the named interface, else
  // E_INVALIDARG).
  //   ValidateRequest:  no negative delay, attempt, ring or greeting number;
  //                     at least one recipient; StopTime after StartTime; the
  //                     call tree's message and each of its responses.
  //   ValidateMessage:  Replays and Timeout not negative.
  //   ValidateResponse: its message, then its nested responses, to any depth.
  HRESULT ValidateRequest(IUnknown* a_pRequest);
  HRESULT ValidateMessage(IUnknown* a_pMessage);
  HRESULT ValidateResponse(IUnknown* a_pResponse);

  // The directories the last accepted location gives (each ending with "/").
  const StorageLayout& layout() const { return layout_; }

 private:
  // Accepts `location` when its directory can be read; `report` says whether
  // a refusal is reported to the caller.
  HRESULT SetLocation(const std::string& location, bool report);
  HRESULT Save(const xml::Document& document, const std::string& id);

  std::string location_;
  StorageLayout layout_;
};

}  // namespace ringwell::kel
