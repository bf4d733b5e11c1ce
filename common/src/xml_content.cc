#include "ringwell/common/xml_content.h"

#include <cstdint>
#include <set>

#include "ringwell/common/xml.h"

namespace ringwell::xml {
namespace {

bool IsXmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// "Request/AdditionalInfo/Ticket": the element names from the top down.
std::string PathOf(pugi::xml_node element) {
  std::string path;
  for (pugi::xml_node node = element; node && node.type() == pugi::node_element;
       node = node.parent()) {
    path = path.empty() ? std::string(node.name()) : std::string(node.name()) + "/" + path;
  }
  return path;
}

bool IsName(std::string_view name) { return IsXmlName(name) && IsXmlCharacters(name); }

std::optional<std::string> ElementFault(pugi::xml_node element) {
  if (!IsName(element.name()))
    return "an element name that XML cannot carry below " + PathOf(element.parent());
  std::set<std::string_view> names;
  for (pugi::xml_attribute attribute : element.attributes()) {
    const std::string_view name = attribute.name();
    if (!IsName(name)) return "an attribute name that XML cannot carry on " + PathOf(element);
    if (!names.insert(name).second) {
      return "the attribute " + std::string(name) + " twice on " + PathOf(element);
    }
    if (!IsXmlCharacters(attribute.value())) {
      return "the attribute " + std::string(name) + " of " + PathOf(element) +
             " holds a character XML cannot carry";
    }
  }
  return std::nullopt;
}

std::optional<std::string> NodeFault(pugi::xml_node node) {
  const std::string_view value = node.value();
  switch (node.type()) {
    case pugi::node_element:
      return ElementFault(node);
    case pugi::node_pcdata:
    case pugi::node_cdata:
      if (IsXmlCharacters(value)) return std::nullopt;
      return "the text of " + PathOf(node.parent()) + " holds a character XML cannot carry";
    case pugi::node_comment:
      if (IsXmlCommentText(value)) return std::nullopt;
      return "a comment in " + PathOf(node.parent()) + " that XML cannot carry";
    case pugi::node_pi:
      if (IsXmlProcessingInstruction(node.name(), value)) return std::nullopt;
      return "a processing instruction in " + PathOf(node.parent()) + " that XML cannot carry";
    case pugi::node_document:
      return std::nullopt;
    default:
      return "a declaration inside " + PathOf(node.parent());
  }
}

}  // namespace

bool IsXmlCharacters(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    std::uint32_t c = *p++;
    int more = 0;
    std::uint32_t min = 0;
    if (c < 0x80) {
    } else if ((c & 0xE0) == 0xC0) {
      c &= 0x1F, more = 1, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      c &= 0x0F, more = 2, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      c &= 0x07, more = 3, min = 0x10000;
    } else {
      return false;
    }
    if (end - p < more) return false;
    for (int i = 0; i < more; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      c = (c << 6) | (p[i] & 0x3F);
    }
    p += more;
    if (c < min || (c >= 0xD800 && c <= 0xDFFF) || !IsXmlChar(c)) return false;
  }
  return true;
}

bool IsXmlCommentText(std::string_view value) {
  return IsXmlCharacters(value) && value.find("--") == std::string_view::npos &&
         (value.empty() || value.back() != '-');
}

bool IsXmlProcessingInstruction(std::string_view target, std::string_view value) {
  const bool reserved = target.size() == 3 && (target[0] | 0x20) == 'x' &&
                        (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l';
  return IsName(target) && !reserved && IsXmlCharacters(value) &&
         value.find("?>") == std::string_view::npos;
}

std::optional<std::string> XmlContentFault(pugi::xml_node node) {
  // Depth first, in document order, climbing back through the parents.
  pugi::xml_node current = node;
  while (current) {
    if (std::optional<std::string> fault = NodeFault(current)) return fault;
    if (pugi::xml_node child = current.first_child()) {
      current = child;
      continue;
    }
    while (current && current != node && !current.next_sibling()) current = current.parent();
    if (!current || current == node) break;
    current = current.next_sibling();
  }
  return std::nullopt;
}

}  // namespace ringwell::xml
