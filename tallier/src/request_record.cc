#include "request_record.h"

#include <vector>

#include "ringwell/common/error_info.h"

namespace ringwell::tallier {
namespace {

// The buttons of the Response elements above `part`, outermost first.
std::string KeysTo(pugi::xml_node part) {
  std::vector<std::string> buttons;
  for (pugi::xml_node node = part.parent(); node; node = node.parent()) {
    if (std::string_view(node.name()) == "Response") {
      buttons.emplace_back(node.attribute("Button").value());
    }
  }
  std::string keys;
  for (auto it = buttons.rbegin(); it != buttons.rend(); ++it) {
    keys += (keys.empty() ? "" : " ") + *it;
  }
  return keys;
}

}  // namespace

xml::Document BuildRequestRecord(std::string_view request_xml) {
  xml::Document request;
  const HRESULT parsed = request.LoadXml(request_xml);
  if (parsed == E_OUTOFMEMORY) throw ComError(E_OUTOFMEMORY);
  const pugi::xml_node root = request.FirstChild();
  if (parsed != S_OK || root.type() != pugi::node_element) throw ComError(E_INVALIDARG);

  xml::Document record;
  pugi::xml_node element = xml::AppendElement(record.dom(), kRequestRecordElement);
  xml::SetAttribute(element, "StartTime", xml::Text(xml::ChildElement(root, "StartTime")));
  xml::SetAttribute(element, "StopTime", xml::Text(xml::ChildElement(root, "StopTime")));
  for (pugi::xml_node part :
       xml::ElementsByName(xml::ChildElement(root, "CallTree"), "MessagePart")) {
    pugi::xml_node entry = xml::AppendElement(element, "Part");
    xml::SetAttribute(entry, "Keys", KeysTo(part));
    const std::string content = xml::Text(part);
    const pugi::xml_attribute spoken = part.attribute("SpokenText");
    const bool file = std::string_view(part.attribute("Type").value()) == "File";
    if (file && spoken) {
      xml::SetAttribute(entry, "Type", "Text");
      xml::SetAttribute(entry, "File", content);
      xml::SetText(entry, spoken.value());
    } else {
      xml::SetAttribute(entry, "Type", file ? "File" : "Text");
      if (file) xml::SetAttribute(entry, "File", content);
      xml::SetText(entry, content);
    }
  }
  return record;
}

void PutRequestRecord(xml::Document& report, const xml::Document& record) {
  pugi::xml_node root = report.FirstChild();
  if (root.type() != pugi::node_element) throw ComError(E_INVALIDARG);
  while (pugi::xml_node old = root.child(kRequestRecordElement)) root.remove_child(old);
  if (!root.append_copy(record.FirstChild())) throw ComError(E_OUTOFMEMORY);
}

}  // namespace ringwell::tallier
