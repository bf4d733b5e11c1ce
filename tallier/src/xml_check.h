// What the report generator checks before a text or a call result goes into a
// report, so that the report stays well-formed XML 1.0 that every reader
// (the toolkit, other XML parsers) accepts and that the toolkit can turn into
// report objects.
//
// Thread-safety: pure functions.
#pragma once

#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>

namespace ringwell::tallier {

// The characters themselves are checked as the toolkit checks what it writes
// (xml::IsXmlCharacters of ringwell/common/xml_content.h).

// Why the call result `call` (the Call element of a parsed result, with what
// follows it in its document) cannot go into a report, or nullopt when it can:
// more than one root, a node or name XML cannot carry, an attribute given
// twice, a namespace prefix not declared, no Time that holds a date, or a
// Duration that is not a 32-bit integer.
std::optional<std::string> CallResultFault(pugi::xml_node call);

// Why the element `element` and its content cannot be copied into a report (a
// node, name or text XML cannot carry, an attribute given twice), or nullopt.
// Namespace prefixes are not checked: they may be declared above it.
std::optional<std::string> ContentFault(pugi::xml_node element);

}  // namespace ringwell::tallier
