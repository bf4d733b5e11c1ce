#include "sim_line.h"

#include <chrono>

#include "ringwell/common/xml.h"

namespace ringwell::host {

void SimulatedTime::Pass(double seconds) {
  if (seconds <= 0) return;
  std::unique_lock lock(mutex_);
  const auto real = std::chrono::duration<double>(seconds * scale_);
  wake_.wait_for(lock, std::chrono::duration_cast<std::chrono::nanoseconds>(real),
                 [&] { return shut_down_; });
}

void SimulatedTime::Shutdown() {
  {
    std::lock_guard lock(mutex_);
    shut_down_ = true;
  }
  wake_.notify_all();
}

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
  if (record.sip_code != 0) {
    pugi::xml_node reply = xml::AppendElement(call, "SipReply");
    xml::SetAttribute(reply, "Code", std::to_string(record.sip_code));
    xml::SetText(reply, record.sip_reason);
  }
  return document.Xml();
}

std::string SafeFileName(std::string_view text) {
  std::string name;
  for (char c : text) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '+' || c == '-' || c == '_' || c == '{' || c == '}';
    name += keep ? c : '_';
  }
  return name.empty() ? "_" : name;
}

}  // namespace ringwell::host
