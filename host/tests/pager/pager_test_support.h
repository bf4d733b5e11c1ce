// What the pager tests share: a request document with a message of text and
// file parts, and a page's Call result read back into its fields.
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ringwell/common/xml.h"

namespace ringwell::host::pager::testing {

// A page request whose call tree's first message has `parts` ({Type, text}).
inline std::string RequestXml(const std::string& id,
                              const std::vector<std::pair<std::string, std::string>>& parts) {
  std::string xml = "<Request ID=\"" + id + "\" Type=\"Page\"><CallTree><Message>";
  for (const auto& [type, text] : parts) {
    xml += "<MessagePart Type=\"" + type + "\">" + text + "</MessagePart>";
  }
  return xml + "</Message></CallTree></Request>";
}

struct PageResult {
  std::string status;
  std::string answer;
  std::string error;
  std::string protocol;
};

inline PageResult ReadResult(const std::string& result_xml) {
  xml::Document document;
  PageResult result;
  if (document.LoadXml(result_xml) != S_OK) return {"(not XML)", "", result_xml, ""};
  const pugi::xml_node call = document.FirstChild();
  result.status = call.attribute("Status").value();
  result.error = call.attribute("Error").value();
  result.answer = xml::Text(xml::ChildElement(call, "Answer"));
  result.protocol = xml::Text(xml::ChildElement(call, "Protocol"));
  return result;
}

}  // namespace ringwell::host::pager::testing
