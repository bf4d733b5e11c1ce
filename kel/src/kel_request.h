// CKelRequest: one notification before it is submitted: its recipients, its
// time window, its retry policy, its call tree and free-form additional
// information, with attributes of its own. A request carries an identifier
// (registry string form of a GUID), generated when it is created and replaced
// by a new one at every submission; the service reaches it through
// _IKelRequestInternal.
//
// In the request file it is the document element Request (see XMLize).
//
// Thread-safety: belongs to the client's thread; nothing is locked.
#pragma once

#include <cstdint>
#include <string>

#include "attributes_holder.h"
#include "collections.h"
#include "kel_node.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/kel/kel.h"
#include "xmlizer.h"

namespace ringwell::kel {

// The request identifier, for the service that submits a request of this
// toolkit.
struct _IKelRequestInternal : IUnknown {
  static constexpr Guid kIid = "{6A0D51C4-2F7B-4E8C-9B3A-58D1E6C02F97}"_guid;
  using Base = IUnknown;
  virtual HRESULT GetRequestId(std::string* a_pbstrRequestId) = 0;
  virtual HRESULT SetRequestId(const std::string& a_bstrRequestId) = 0;
};

// 1 January 1980 00:00:00, the start and stop time of a new request.
inline constexpr OleDate kDefaultRequestTime = 29221.0;

class CKelRequest final
    : public CAttributed<IKelRequest, _IXMLizerInternal, _IKelRequestInternal, ISupportErrorInfo> {
 public:
  // Creates the recipients collection and the call tree (throws
  // std::bad_alloc).
  CKelRequest();
  // Generates the request identifier.
  HRESULT FinalConstruct();

  HRESULT get_NumberOfRings(std::int32_t* pVal) override;
  HRESULT put_NumberOfRings(std::int32_t newVal) override;
  HRESULT get_NumberOfAttemptsIfBusy(std::int32_t* pVal) override;
  HRESULT put_NumberOfAttemptsIfBusy(std::int32_t newVal) override;
  HRESULT get_DelayIfBusy(std::int32_t* pVal) override;
  HRESULT put_DelayIfBusy(std::int32_t newVal) override;
  HRESULT get_NumberOfAttemptsIfNoAnswer(std::int32_t* pVal) override;
  HRESULT put_NumberOfAttemptsIfNoAnswer(std::int32_t newVal) override;
  HRESULT get_DelayIfNoAnswer(std::int32_t* pVal) override;
  HRESULT put_DelayIfNoAnswer(std::int32_t newVal) override;
  HRESULT get_CallTree(_IKelNode** pVal) override;
  HRESULT get_StartTime(OleDate* pVal) override;
  HRESULT put_StartTime(OleDate newVal) override;
  HRESULT get_StopTime(OleDate* pVal) override;
  HRESULT put_StopTime(OleDate newVal) override;
  HRESULT get_Recipients(IKelRecipients** pVal) override;
  HRESULT get_MaxGreetingDuration(std::int32_t* pVal) override;
  HRESULT put_MaxGreetingDuration(std::int32_t newVal) override;
  HRESULT get_Type(EKelRequestType* pVal) override;
  HRESULT put_Type(EKelRequestType newVal) override;
  HRESULT get_DelayIfError(std::int32_t* pVal) override;
  HRESULT put_DelayIfError(std::int32_t newVal) override;
  HRESULT get_NumberOfAttemptsIfError(std::int32_t* pVal) override;
  HRESULT put_NumberOfAttemptsIfError(std::int32_t newVal) override;
  HRESULT get_AdditionalInfo(std::string* pVal) override;
  // Accepts only a well-formed XML document whose first node is its root
  // element; the text is kept as given.
  HRESULT put_AdditionalInfo(const char* newVal) override;

  HRESULT GetRequestId(std::string* a_pbstrRequestId) override;
  HRESULT SetRequestId(const std::string& a_bstrRequestId) override;

  // Appends the Request element to `pDOMNode`: the fixed attributes, the
  // times, the recipients (each recipient's Type attribute is set on the
  // object first), the eight numbers, the client's attributes, the additional
  // information and the call tree.
  HRESULT XMLize(xml::Document* pDOMDocument, pugi::xml_node pDOMNode,
                 std::int32_t a_bWithCollections) override;
  HRESULT DeXMLize(pugi::xml_node, std::int32_t) override { return S_OK; }
  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;

 private:
  HRESULT Write(xml::Document* document, pugi::xml_node parent);

  std::int32_t number_of_rings_ = 7;
  std::int32_t number_of_attempts_if_busy_ = 3;
  std::int32_t delay_if_busy_ = 10;
  std::int32_t number_of_attempts_if_no_answer_ = 3;
  std::int32_t delay_if_no_answer_ = 30;
  ComPtr<CKelNode> call_tree_;
  OleDate start_time_ = kDefaultRequestTime;
  OleDate stop_time_ = kDefaultRequestTime;
  ComPtr<CKelRecipients> recipients_;
  std::int32_t max_greeting_duration_ = 15;
  EKelRequestType type_ = kelCallRequest;
  std::int32_t delay_if_error_ = 1;
  std::int32_t number_of_attempts_if_error_ = 0;
  std::string additional_info_;
  std::string request_id_;
};

}  // namespace ringwell::kel
