// Kel, the client toolkit: the interfaces a client application uses to
// describe a notification, submit it, keep its recorded wav files, read its
// report and cancel it. Objects are created by class identifier or ProgID
// (CoCreateInstance) from libkel.so.
//
//   KelService      the entry point: Location, SubmitRequest, the file store,
//                   GetReport, CancelRequest
//   KelRequest      one notification: recipients, window, retry policy, and
//                   its call tree of nodes, messages, parts and responses
//   KelMessagePart, KelResponse, KelRecipient   the pieces a client creates
//   report side     IKelReport / IKelSubReport / IKelCall (IKelCall2), IKelFileInfo:
//                   read-only snapshots handed out by the service
//
// Conventions: a `const char*` input may be null (the null string); string
// results come back through `std::string*`; object results through `I**` with
// a reference the caller owns (wrap them in ComPtr). Failures return a status
// code and leave an error object (GetErrorInfo) whose description is the
// formatted message; the toolkit's own rule violations return the message
// identifier itself (for example 0xC0000011 when no location is set).
//
// Thread-safety: the objects belong to the thread that created them; nothing
// is locked.
#pragma once

#include <cstdint>
#include <string>

#include "ringwell/common/com.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/common/toolkit_class.h"
#include "ringwell/common/variant.h"
#include "ringwell/kel/collections.h"

namespace ringwell::kel {

enum EKelRequestType : std::int32_t { kelCallRequest = 0, kelPageRequest = 1 };
enum EKelMessagePartType : std::int32_t { kelFileNameMessagePart = 0, kelTextMessagePart = 1 };

struct IKelRecipient;
struct IKelMessagePart;
struct IKelResponse;
struct _IKelNode;
struct IKelFileInfo;
struct IKelSubReport;
struct IKelCall;

// Collections of the request side (dynamic) and of the report side (static).
struct IKelMessageParts : _DynaCollection {
  static constexpr Guid kIid = "{7AC2B4E5-0261-46A4-920A-EEB18D3E80AD}"_guid;
  using Base = _DynaCollection;
  virtual HRESULT get_Item(const Variant& Index, IKelMessagePart** ppvObject) = 0;
};
struct IKelResponses : _DynaCollection {
  static constexpr Guid kIid = "{B696CE96-454F-4B41-8203-EDE6E3183508}"_guid;
  using Base = _DynaCollection;
  virtual HRESULT get_Item(const Variant& Index, IKelResponse** ppvObject) = 0;
};
struct IKelNodes : _DynaCollection {
  static constexpr Guid kIid = "{FBC6546F-61EA-4D21-B571-0B3D53C6ACDD}"_guid;
  using Base = _DynaCollection;
  virtual HRESULT get_Item(const Variant& Index, _IKelNode** ppvObject) = 0;
};
struct IKelRecipients : _DynaCollection {
  static constexpr Guid kIid = "{3BA5EC35-49DE-4CB6-9D26-87FBADC5829D}"_guid;
  using Base = _DynaCollection;
  virtual HRESULT get_Item(const Variant& Index, IKelRecipient** ppvObject) = 0;
};
struct IKelFiles : _Collection {
  static constexpr Guid kIid = "{3D3967AB-A225-491A-85C7-78E7407EF571}"_guid;
  using Base = _Collection;
  virtual HRESULT get_Item(const Variant& Index, IKelFileInfo** ppvObject) = 0;
};
struct IKelSubReports : _Collection {
  static constexpr Guid kIid = "{6E973D5B-0D33-4385-877E-F6FC465A5AC6}"_guid;
  using Base = _Collection;
  virtual HRESULT get_Item(const Variant& Index, IKelSubReport** ppvObject) = 0;
};
struct IKelCalls : _Collection {
  static constexpr Guid kIid = "{22DA691A-1CB2-420F-B451-F169EE1AD93F}"_guid;
  using Base = _Collection;
  virtual HRESULT get_Item(const Variant& Index, IKelCall** ppvObject) = 0;
};

// Named string attributes of request-side objects (names ignore case).
#define RINGWELL_KEL_ATTRIBUTES                                                        \
  virtual HRESULT GetAttribute(const char* a_bstrName, std::string* a_pbstrValue) = 0; \
  virtual HRESULT SetAttribute(const char* a_bstrName, const char* a_bstrValue) = 0

struct IKelRecipient : IUnknown {
  static constexpr Guid kIid = "{0114F4C3-DF56-487D-86CF-478A15F8F11D}"_guid;
  using Base = IUnknown;
  virtual HRESULT get_Recipient(std::string* pVal) = 0;
  virtual HRESULT put_Recipient(const char* newVal) = 0;
  RINGWELL_KEL_ATTRIBUTES;
};

struct IKelMessagePart : IUnknown {
  static constexpr Guid kIid = "{773DCE55-6BE1-483B-A83A-B2FB4FC4FE0A}"_guid;
  using Base = IUnknown;
  virtual HRESULT get_Type(EKelMessagePartType* pVal) = 0;
  virtual HRESULT get_Content(std::string* pVal) = 0;
  virtual HRESULT SetContent(const char* a_bstrContent, EKelMessagePartType a_eType) = 0;
  RINGWELL_KEL_ATTRIBUTES;
};

struct IKelMessage : IUnknown {
  static constexpr Guid kIid = "{74E9BC64-F156-4C4C-9486-B7EC2DB29B2D}"_guid;
  using Base = IUnknown;
  virtual HRESULT get_Parts(IKelMessageParts** pVal) = 0;
  virtual HRESULT get_Replays(std::int32_t* pVal) = 0;
  virtual HRESULT put_Replays(std::int32_t newVal) = 0;
  virtual HRESULT get_Timeout(std::int32_t* pVal) = 0;
  virtual HRESULT put_Timeout(std::int32_t newVal) = 0;
  RINGWELL_KEL_ATTRIBUTES;
};

struct _IKelNode : IUnknown {
  static constexpr Guid kIid = "{730460AC-FBF2-49EB-8D6C-E6BE19BA01C6}"_guid;
  using Base = IUnknown;
  virtual HRESULT get_Message(IKelMessage** pVal) = 0;
  virtual HRESULT get_Responses(IKelResponses** pVal) = 0;
  virtual HRESULT get_ExtraNodes(IKelNodes** pVal) = 0;
  virtual HRESULT AddExtraNode(_IKelNode** pVal) = 0;
};

struct IKelResponse : _IKelNode {
  static constexpr Guid kIid = "{D9135143-5F39-4573-BC7D-A5BC9BA0349C}"_guid;
  using Base = _IKelNode;
  virtual HRESULT get_Button(std::string* pVal) = 0;
  virtual HRESULT put_Button(const char* newVal) = 0;
  RINGWELL_KEL_ATTRIBUTES;
};

struct IKelRequest : IUnknown {
  static constexpr Guid kIid = "{14647B9D-DE9B-4B58-9203-1547187434BC}"_guid;
  using Base = IUnknown;
  virtual HRESULT get_NumberOfRings(std::int32_t* pVal) = 0;
  virtual HRESULT put_NumberOfRings(std::int32_t newVal) = 0;
  virtual HRESULT get_NumberOfAttemptsIfBusy(std::int32_t* pVal) = 0;
  virtual HRESULT put_NumberOfAttemptsIfBusy(std::int32_t newVal) = 0;
  virtual HRESULT get_DelayIfBusy(std::int32_t* pVal) = 0;
  virtual HRESULT put_DelayIfBusy(std::int32_t newVal) = 0;
  virtual HRESULT get_NumberOfAttemptsIfNoAnswer(std::int32_t* pVal) = 0;
  virtual HRESULT put_NumberOfAttemptsIfNoAnswer(std::int32_t newVal) = 0;
  virtual HRESULT get_DelayIfNoAnswer(std::int32_t* pVal) = 0;
  virtual HRESULT put_DelayIfNoAnswer(std::int32_t newVal) = 0;
  virtual HRESULT get_CallTree(_IKelNode** pVal) = 0;
  virtual HRESULT get_StartTime(OleDate* pVal) = 0;
  virtual HRESULT put_StartTime(OleDate newVal) = 0;
  virtual HRESULT get_StopTime(OleDate* pVal) = 0;
  virtual HRESULT put_StopTime(OleDate newVal) = 0;
  virtual HRESULT get_Recipients(IKelRecipients** pVal) = 0;
  virtual HRESULT get_MaxGreetingDuration(std::int32_t* pVal) = 0;
  virtual HRESULT put_MaxGreetingDuration(std::int32_t newVal) = 0;
  RINGWELL_KEL_ATTRIBUTES;
  virtual HRESULT get_Type(EKelRequestType* pVal) = 0;
  virtual HRESULT put_Type(EKelRequestType newVal) = 0;
  virtual HRESULT get_DelayIfError(std::int32_t* pVal) = 0;
  virtual HRESULT put_DelayIfError(std::int32_t newVal) = 0;
  virtual HRESULT get_NumberOfAttemptsIfError(std::int32_t* pVal) = 0;
  virtual HRESULT put_NumberOfAttemptsIfError(std::int32_t newVal) = 0;
  virtual HRESULT get_AdditionalInfo(std::string* pVal) = 0;
  virtual HRESULT put_AdditionalInfo(const char* newVal) = 0;
};

#undef RINGWELL_KEL_ATTRIBUTES

// Report side: read-only snapshots of a report file.
struct IKelCall : IUnknown {
  static constexpr Guid kIid = "{8A3A75B4-1AAA-4478-9E5F-CAC387B7F10A}"_guid;
  using Base = IUnknown;
  virtual HRESULT get_Time(OleDate* a_pValue) = 0;
  virtual HRESULT get_Answer(std::string* a_pbstrValue) = 0;
  virtual HRESULT get_Protocol(std::string* a_pbstrValue) = 0;
  virtual HRESULT get_Duration(std::int32_t* a_pnValue) = 0;
  virtual HRESULT get_Status(std::string* a_pbstrValue) = 0;
  virtual HRESULT get_Error(std::string* a_pbstrValue) = 0;
};

// What a call result says beyond IKelCall; every call of a report offers it.
struct IKelCall2 : IKelCall {
  static constexpr Guid kIid = "{B51908EC-F072-466D-91C2-30FE513F09D0}"_guid;
  using Base = IKelCall;
  // Who answered, as the call result's AnsweredBy element says: "Human",
  // "Machine" or "Unknown"; empty when it has none (a call not answered, or
  // a line that cannot tell).
  virtual HRESULT get_AnsweredBy(std::string* a_pbstrValue) = 0;
};

struct IKelSubReport : IUnknown {
  static constexpr Guid kIid = "{67799116-8FAE-441D-9E4D-D04406290C9A}"_guid;
  using Base = IUnknown;
  virtual HRESULT get_Calls(IKelCalls** a_ppValue) = 0;
  virtual HRESULT get_Recipient(std::string* a_pbstrValue) = 0;
  virtual HRESULT get_Status(std::string* a_pbstrValue) = 0;
};

struct IKelReport : IUnknown {
  static constexpr Guid kIid = "{1FECE3B8-8774-4B00-88BA-1131CDB39343}"_guid;
  using Base = IUnknown;
  virtual HRESULT get_SubReports(IKelSubReports** a_ppValue) = 0;
  // The first sub-report whose recipient equals the text exactly; S_FALSE and
  // null when there is none.
  virtual HRESULT FindSubReport(const char* a_bstrRecipient, IKelSubReport** a_ppValue) = 0;
  virtual HRESULT get_Status(std::string* a_pbstrValue) = 0;
  virtual HRESULT get_Type(EKelRequestType* a_peRequestType) = 0;
  virtual HRESULT get_AdditionalInfo(std::string* a_pbstrValue) = 0;
};

struct IKelFileInfo : IUnknown {
  static constexpr Guid kIid = "{2B76F442-F174-46D0-9DD0-5B4A873B4206}"_guid;
  using Base = IUnknown;
  virtual HRESULT get_Date(OleDate* a_pValue) = 0;
  virtual HRESULT get_Size(std::int32_t* a_pnValue) = 0;
  virtual HRESULT get_Name(std::string* a_pbstrValue) = 0;
};

struct IKelService : IUnknown {
  static constexpr Guid kIid = "{51BB7BAD-CD50-4527-81D3-DD41DBB3728B}"_guid;
  using Base = IUnknown;
  // Copies a wav file into the file store: S_OK copied, S_FALSE not copied
  // (an existing file kept because a_bOverwrite is zero).
  virtual HRESULT SubmitFile(const char* a_bstrFilePath, std::int32_t a_bOverwrite) = 0;
  virtual HRESULT get_Location(std::string* p_bstrValue) = 0;
  virtual HRESULT put_Location(const char* newVal) = 0;
  virtual HRESULT DeleteFile(const char* a_bstrName) = 0;
  // S_FALSE with a null result when no such file is stored.
  virtual HRESULT GetFileInfo(const char* a_bstrName, IKelFileInfo** a_ppFileInfo) = 0;
  // Validates the request and writes it into Inbox; returns its new identifier.
  virtual HRESULT SubmitRequest(IKelRequest* a_pRequest, std::string* a_pbstrRequestId) = 0;
  // S_OK cancelled; S_FALSE when there was no scheduled request to cancel.
  virtual HRESULT CancelRequest(const char* a_bstrRequestId) = 0;
  // S_FALSE with a null report when the report file does not exist.
  virtual HRESULT GetReport(const char* a_bstrRequestId, IKelReport** a_ppReport) = 0;
  virtual HRESULT get_Files(IKelFiles** a_ppFiles) = 0;
};

// Class identifiers and ProgIDs (kKelServiceClsid: ringwell/common/toolkit_class.h).
inline constexpr Guid kKelLibId = "{C1E49C58-4CC8-4CD4-9193-1DC2416238A0}"_guid;
inline constexpr Guid kKelRequestClsid = "{F87B0C97-DB89-490A-9ED3-4D58E777F28F}"_guid;
inline constexpr Guid kKelNodeClsid = "{CDAC9A50-832E-4A2F-AAEB-D8D3ECD482EC}"_guid;
inline constexpr Guid kKelMessageClsid = "{0765D48E-054A-4F84-8EE7-33AF0853BDAC}"_guid;
inline constexpr Guid kKelMessagePartClsid = "{5B09B6AC-62DE-42E0-B669-E00F40B3556F}"_guid;
inline constexpr Guid kKelResponseClsid = "{5821C804-E9DC-48F7-9A4E-8B7ECF9251AE}"_guid;
inline constexpr Guid kKelRecipientClsid = "{7539006D-7CAD-4523-8135-9F4B7026F3FF}"_guid;
inline constexpr Guid kKelFileInfoClsid = "{EC576DA2-72B1-4780-AC93-53D9A4EAADDE}"_guid;
inline constexpr Guid kKelReportClsid = "{54D5FA23-3DA7-4962-A96B-493669860359}"_guid;
inline constexpr Guid kKelSubReportClsid = "{11A7D543-2714-4D40-A72D-3327B4509F34}"_guid;
inline constexpr Guid kKelCallClsid = "{E54B74BA-6ED3-45F9-9A66-CAFD4A9ACDC4}"_guid;

inline constexpr char kKelServiceProgId[] = "Kel.KelService.1";
inline constexpr char kKelRequestProgId[] = "Kel.KelRequest.1";
inline constexpr char kKelNodeProgId[] = "Kel.KelNode.1";
inline constexpr char kKelMessageProgId[] = "Kel.KelMessage.1";
inline constexpr char kKelMessagePartProgId[] = "Kel.KelMessagePart.1";
inline constexpr char kKelResponseProgId[] = "Kel.KelResponse.1";
inline constexpr char kKelRecipientProgId[] = "Kel.KelRecipient.1";

}  // namespace ringwell::kel
