// XML compared as its readers see it, not as bytes: ElementTree writes an
// element as one line per node, indented by depth - the element's name and
// its attributes in the order they stand, then its text, comments and child
// elements in order. White space between elements (an indented expectation)
// is left out, so two documents with the same elements, attributes and texts
// give the same tree whatever their formatting.
//
// Thread-safety: pure functions.
#pragma once

#include <pugixml.hpp>
#include <string>
#include <string_view>

namespace ringwell::testing {

std::string ElementTree(pugi::xml_node element);
// The tree of the document element of `xml`; "(not XML: ...)" when it does
// not parse.
std::string ElementTree(std::string_view xml);

}  // namespace ringwell::testing
