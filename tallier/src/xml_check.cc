#include "xml_check.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

#include "ringwell/common/variant.h"
#include "ringwell/common/xml.h"
#include "ringwell/common/xml_content.h"

namespace ringwell::tallier {
namespace {

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
      if (!xml::IsXmlCharacters(attribute.value())) {
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
        if (xml::IsXmlCharacters(value)) return std::nullopt;
        return "characters XML cannot carry in the text of " + std::string(node.parent().name());
      case pugi::node_comment:
        if (xml::IsXmlCommentText(value)) return std::nullopt;
        return std::string("a comment XML cannot carry");
      case pugi::node_pi:
        if (xml::IsXmlProcessingInstruction(node.name(), value)) return std::nullopt;
        return std::string("a processing instruction XML cannot carry");
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
