// Whether a document can be written as XML 1.0 that every reader accepts.
//
// pugixml parses and builds more than XML 1.0 allows: control characters,
// bytes that are not UTF-8, comments holding "--". A request file holding
// such content would be refused by the report generator and by other XML
// readers, so the toolkit checks what it is about to write with XmlContentFault.
//
// Thread-safety: pure functions.
#pragma once

#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>

namespace ringwell::xml {

// True when `text` is UTF-8 made only of characters XML 1.0 allows: tab, LF,
// CR, U+0020-U+D7FF, U+E000-U+FFFD, U+10000-U+10FFFF (no overlong forms, no
// encoded surrogates).
bool IsXmlCharacters(std::string_view text);

// True when `value` can be the text of a comment: XML characters, no "--",
// not ending in "-".
bool IsXmlCommentText(std::string_view value);

// True when a processing instruction of this target and value can be
// written: the target is a name other than "xml" in any case, and the value
// holds XML characters and no "?>".
bool IsXmlProcessingInstruction(std::string_view target, std::string_view value);

// Why `node` and everything below it cannot be written as XML 1.0, naming
// the place ("the text of Request/AdditionalInfo/Ticket holds a character XML
// cannot carry"), or nullopt when it can. Checks names, attribute values
// (and attributes given twice), texts, comments and processing instructions;
// a subtree of any depth is walked without recursion.
std::optional<std::string> XmlContentFault(pugi::xml_node node);

}  // namespace ringwell::xml
