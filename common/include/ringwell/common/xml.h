// The XML document operations the components use, over pugixml: load a file
// or parse a text, save atomically, create elements and set attributes and
// texts (refusing, with E_INVALIDARG, names and characters XML cannot carry),
// typed values of elements ("dateTime", "int", "string" in the dt:dt
// attribute), elements by name, the text of a node with its descendants, and
// the markup of a node.
//
// Documents are parsed keeping declarations, comments and processing
// instructions, so that "the document's first child" is what the file really
// starts with. Saved documents start directly with their root element (no
// declaration), are written UTF-8 without added white space, and replace the
// file atomically, so a reader never sees half a file.
//
// Elements are found by their name as written; namespace declarations take no
// part in it.
//
// Thread-safety: a Document is used by one thread at a time; distinct
// documents are independent.
#pragma once

#include <cstdint>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "ringwell/common/files.h"
#include "ringwell/common/hresult.h"
#include "ringwell/common/ole_date.h"

namespace ringwell::xml {

inline constexpr char kXmlDataNamespace[] = "urn:schemas-microsoft-com:xml-data";
inline constexpr char kDataTypesNamespace[] = "urn:schemas-microsoft-com:datatypes";
inline constexpr char kDataTypeAttribute[] = "dt:dt";

class Document {
 public:
  Document() = default;
  Document(Document&&) = default;
  Document& operator=(Document&&) = default;

  // Loads a file. S_OK when it parsed; S_FALSE when it is missing, unreadable
  // or not well-formed (the document is then empty and `reason` says why);
  // E_OUTOFMEMORY when memory ran out.
  HRESULT Load(const std::string& path, std::string* reason = nullptr);
  // Parses a text as a whole document, with the same results.
  HRESULT LoadXml(std::string_view text, std::string* reason = nullptr);
  // Saves the document atomically to `path` (files.h says what `durability`
  // means).
  HRESULT Save(const std::string& path, Durability durability = Durability::kSynced) const;
  // The whole document as text.
  std::string Xml() const;

  // The document's first child node (a declaration, comment or element), or an
  // empty node.
  pugi::xml_node FirstChild() const { return doc_.first_child(); }
  pugi::xml_document& dom() { return doc_; }
  const pugi::xml_document& dom() const { return doc_; }

 private:
  pugi::xml_document doc_;
};

// Building documents. These fail as a DOM would, by throwing ComError:
// E_INVALIDARG for a name that is not an XML name or a text holding characters
// XML cannot carry (control characters other than tab, CR and LF), and
// E_OUTOFMEMORY when a node cannot be made.
pugi::xml_node AppendElement(pugi::xml_node parent, std::string_view name);
void SetAttribute(pugi::xml_node element, std::string_view name, std::string_view value);
void SetText(pugi::xml_node element, std::string_view text);
bool IsXmlName(std::string_view name);
bool IsXmlText(std::string_view text);

// Sets the element's data type and its text (throwing like SetText).
void SetTypedDate(pugi::xml_node element, OleDate value);
void SetTypedInt(pugi::xml_node element, std::int32_t value);
void SetTypedString(pugi::xml_node element, std::string_view value);

// The element's data type ("dateTime", "int", "string", ...), empty when it
// has none.
std::string DataType(pugi::xml_node element);
// The element's value as a date: its text in the dateTime form. nullopt when it
// does not convert.
std::optional<OleDate> TypedDate(pugi::xml_node element);
// The element's value as an integer: its decimal text. nullopt when it does not
// convert.
std::optional<std::int64_t> TypedInt(pugi::xml_node element);

// The text of a node and all its descendants, concatenated in document order.
std::string Text(pugi::xml_node node);
// The markup of a node: an element with everything below it, or the escaped
// text of a text node.
std::string Markup(pugi::xml_node node);

// All elements named `name` below `node`, in document order.
std::vector<pugi::xml_node> ElementsByName(pugi::xml_node node, std::string_view name);
// The first child element of `node` named `name`, or an empty node.
pugi::xml_node ChildElement(pugi::xml_node node, std::string_view name);

}  // namespace ringwell::xml
