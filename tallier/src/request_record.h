// The request record of a report: what a request asked for, kept in its report
// once it is scheduled, because the request file and its sound files go when
// the request is done. Readers that do not know the element pass it by (they
// find SubReport, Call and AdditionalInfo by name).
//
//   <RequestRecord StartTime="2026-12-07T18:00:00" StopTime="2026-12-07T20:00:00">
//     <Part Keys="" Type="Text" File="wavA3uacV.wav">The backup failed.</Part>
//     <Part Keys="1" Type="File" File="greeting.wav">greeting.wav</Part>
//   </RequestRecord>
//
// One Part per message part in the order of the call tree: Keys are the
// buttons of the responses that lead to it (blank for the first message),
// Type "Text" with the text that was spoken (File: the sound file it was
// spoken into, once it was) or "File" with the recording's name.
//
// Thread-safety: functions of distinct documents may run at once.
#pragma once

#include <string_view>

#include "ringwell/common/xml.h"

namespace ringwell::tallier {

inline constexpr char kRequestRecordElement[] = "RequestRecord";

// The record of the request whose XML is `request_xml` (the request file as
// scheduled: a text part then names its sound file and keeps its text in the
// attribute SpokenText). Throws ComError(E_INVALIDARG) for a text that is no
// request, E_OUTOFMEMORY when memory runs out.
xml::Document BuildRequestRecord(std::string_view request_xml);

// Puts a copy of `record` (built above) into `report` in place of any record
// it holds, after everything else.
void PutRequestRecord(xml::Document& report, const xml::Document& record);

}  // namespace ringwell::tallier
