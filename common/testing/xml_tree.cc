#include "ringwell/testing/xml_tree.h"

#include <cctype>

namespace ringwell::testing {
namespace {

bool Blank(std::string_view text) {
  for (const char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

void Write(pugi::xml_node node, const std::string& indent, std::string* out) {
  switch (node.type()) {
    case pugi::node_element: {
      *out += indent + "<" + node.name();
      for (const pugi::xml_attribute attribute : node.attributes()) {
        *out += std::string(" ") + attribute.name() + "=\"" + attribute.value() + "\"";
      }
      *out += ">\n";
      for (const pugi::xml_node child : node.children()) Write(child, indent + "  ", out);
      break;
    }
    case pugi::node_pcdata:
    case pugi::node_cdata:
      if (!Blank(node.value())) *out += indent + "'" + node.value() + "'\n";
      break;
    case pugi::node_comment:
      *out += indent + "<!--" + node.value() + "-->\n";
      break;
    default:
      break;
  }
}

}  // namespace

std::string ElementTree(pugi::xml_node element) {
  std::string out;
  Write(element, "", &out);
  return out;
}

std::string ElementTree(std::string_view xml) {
  pugi::xml_document document;
  const pugi::xml_parse_result parsed =
      document.load_buffer(xml.data(), xml.size(), pugi::parse_default | pugi::parse_comments);
  if (!parsed) return std::string("(not XML: ") + parsed.description() + ")";
  return ElementTree(document.document_element());
}

}  // namespace ringwell::testing
