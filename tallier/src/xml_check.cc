#include "xml_check.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

#include "ringwell/common/variant.h"
#include "ringwell/common/xml.h"

namespace ringwell::tallier {
namespace {

bool IsXmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

std::string_view PrefixOf(std::string_view name) {
  const std::size_t colon = name.find(':');
  return colon == std::string_view::npos ? std::string_view() : name.substr(0, colon);
}

// Walks the Call element's subtree, keeping the namespace prefixes declared on
// the way down.
class Walker {
 public:
  explicit Walker(bool check_prefixes) : check_prefixes_(check_prefixes) {}

  std::optional<std::string> Element(pugi::xml_node element) {
    const std::size_t declared = prefixes_.size();
    std::set<std::string_view> names;
    for (pugi::xml_attribute attribute : element.attributes()) {
      const std::string_view name = attribute.name();
      if (!xml::IsXmlName(name)) return "an attribute name that XML cannot carry";
      if (!names.insert(name).second) return "the attribute " + std::string(name) + " twice";
      if (!IsXmlCharacters(attribute.value())) {
        return "characters XML cannot carry in the attribute " + std::string(name);
      }
      if (PrefixOf(name) == "xmlns") prefixes_.push_back(name.substr(6));
    }
    std::optional<std::string> fault = Names(element);
    for (pugi::xml_node child = element.first_child(); child && !fault;
         child = child.next_sibling()) {
      fault = Node(child);
    }
    prefixes_.resize(declared);
    return fault;
  }

 private:
  std::optional<std::string> Node(pugi::xml_node node) {
    const std::string_view value = node.value();
    switch (node.type()) {
      case pugi::node_element:
        return Element(node);
      case pugi::node_pcdata:
      case pugi::node_cdata:
        if (IsXmlCharacters(value)) return std::nullopt;
        return "characters XML cannot carry in the text of " + std::string(node.parent().name());
      case pugi::node_comment:
        if (IsXmlCharacters(value) && value.find("--") == std::string_view::npos &&
            (value.empty() || value.back() != '-')) {
          return std::nullopt;
        }
        return std::string("a comment XML cannot carry");
      case pugi::node_pi: {
        const std::string_view target = node.name();
        const bool reserved = target.size() == 3 && (target[0] | 0x20) == 'x' &&
                              (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l';
        if (xml::IsXmlName(target) && !reserved && IsXmlCharacters(value) &&
            value.find("?>") == std::string_view::npos) {
          return std::nullopt;
        }
        return std::string("a processing instruction XML cannot carry");
      }
      default:
        return std::string("a declaration inside the Call element");
    }
  }

  // The element's name and every prefix it and its attributes use must be
  // declared (dt by the report itself).
  std::optional<std::string> Names(pugi::xml_node element) const {
    const std::string_view name = element.name();
    if (!xml::IsXmlName(name)) return std::string("an element name that XML cannot carry");
    std::vector<std::string_view> used{PrefixOf(name)};
    for (pugi::xml_attribute attribute : element.attributes()) {
      const std::string_view prefix = PrefixOf(attribute.name());
      if (prefix != "xmlns") used.push_back(prefix);
    }
    for (std::string_view prefix : used) {
      if (!check_prefixes_) break;
      if (prefix.empty() || prefix == "xml" || prefix == "dt") continue;
      if (std::find(prefixes_.begin(), prefixes_.end(), prefix) == prefixes_.end()) {
        return "the undeclared namespace prefix " + std::string(prefix);
      }
    }
    return std::nullopt;
  }

  const bool check_prefixes_;
  std::vector<std::string_view> prefixes_;
};

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
    // Overlong forms and encoded surrogates are not UTF-8.
    if (c < min || (c >= 0xD800 && c <= 0xDFFF) || !IsXmlChar(c)) return false;
  }
  return true;
}

std::optional<std::string> CallResultFault(pugi::xml_node call) {
  for (pugi::xml_node after = call.next_sibling(); after; after = after.next_sibling()) {
    if (after.type() != pugi::node_comment && after.type() != pugi::node_pi) {
      return std::string("more than one root");
    }
  }
  if (std::optional<std::string> fault = Walker(true).Element(call)) return fault;
  if (!xml::TypedDate(xml::ChildElement(call, "Time"))) return std::string("no Time with a date");
  if (const pugi::xml_node duration = xml::ChildElement(call, "Duration")) {
    std::int32_t seconds = 0;
    if (Failed(Variant(xml::Text(duration)).ToInt32(&seconds))) {
      return std::string("a Duration that is not an integer");
    }
  }
  return std::nullopt;
}

}  // namespace ringwell::tallier

namespace ringwell::tallier {

std::optional<std::string> ContentFault(pugi::xml_node element) {
  return Walker(false).Element(element);
}

}  // namespace ringwell::tallier
