#include "call_record.h"

#include "call_tree.h"
#include "ringwell/common/xml.h"

namespace ringwell::host {

std::string CallResultXml(const CallRecord& record) {
  xml::Document document;
  pugi::xml_node call = xml::AppendElement(document.dom(), "Call");
  xml::SetAttribute(call, "Status", record.status);
  xml::SetAttribute(call, "Error", record.error);
  pugi::xml_node time = xml::AppendElement(call, "Time");
  xml::SetAttribute(time, "xmlns:dt", xml::kDataTypesNamespace);
  xml::SetTypedDate(time, record.time);
  xml::SetText(xml::AppendElement(call, "Answer"), record.answer);
  std::string protocol;
  for (const std::string& line : record.protocol) {
    if (!protocol.empty()) protocol += '\n';
    protocol += line;
  }
  xml::SetText(xml::AppendElement(call, "Protocol"), protocol);
  pugi::xml_node duration = xml::AppendElement(call, "Duration");
  xml::SetAttribute(duration, "xmlns:dt", xml::kDataTypesNamespace);
  xml::SetTypedInt(duration, record.duration);
  if (!record.answered_by.empty()) {
    xml::SetText(xml::AppendElement(call, "AnsweredBy"), record.answered_by);
  }
  if (record.sip_code != 0) {
    pugi::xml_node reply = xml::AppendElement(call, "SipReply");
    xml::SetAttribute(reply, "Code", std::to_string(record.sip_code));
    xml::SetText(reply, record.sip_reason);
  }
  return document.Xml();
}

void FailUnplayed(const CallWalk& walk, CallRecord* record) {
  if (walk.unplayed.empty()) return;
  record->status = "Failed";
  record->error = "Not played: " + walk.unplayed.front();
  if (walk.unplayed.size() > 1) {
    record->error += " and " + std::to_string(walk.unplayed.size() - 1) + " more";
  }
}

}  // namespace ringwell::host
