#include "ringwell/common/xml.h"

#include <sstream>

#include "ringwell/common/error_info.h"
#include "ringwell/common/files.h"
#include "ringwell/common/text.h"

namespace ringwell::xml {
namespace {

// Keep declarations, comments and processing instructions: readers take the
// document's first child as its root element and must see what precedes it.
constexpr unsigned kParseOptions = pugi::parse_full;
constexpr unsigned kFormatOptions = pugi::format_raw | pugi::format_no_declaration;

HRESULT FromParseResult(const pugi::xml_parse_result& result, std::string* reason) {
  if (result) return S_OK;
  if (result.status == pugi::status_out_of_memory) return E_OUTOFMEMORY;
  if (reason != nullptr) {
    *reason = result.description();
    if (result.status != pugi::status_file_not_found && result.status != pugi::status_io_error) {
      *reason += " at offset " + std::to_string(result.offset);
    }
  }
  return S_FALSE;
}

struct TextCollector : pugi::xml_tree_walker {
  std::string text;
  bool for_each(pugi::xml_node& node) override {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) text += node.value();
    return true;
  }
};

}  // namespace

HRESULT Document::Load(const std::string& path, std::string* reason) {
  std::string content;
  HRESULT hr = ReadWholeFile(path, &content);
  if (Failed(hr)) {
    doc_.reset();
    if (hr == E_OUTOFMEMORY) return hr;
    if (reason != nullptr) *reason = ErrorText(hr);
    return S_FALSE;
  }
  return LoadXml(content, reason);
}

HRESULT Document::LoadXml(std::string_view text, std::string* reason) {
  doc_.reset();
  pugi::xml_parse_result result =
      doc_.load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_auto);
  HRESULT hr = FromParseResult(result, reason);
  if (hr == S_OK && !doc_.document_element()) {
    if (reason != nullptr) *reason = "No document element found";
    doc_.reset();
    return S_FALSE;
  }
  if (hr != S_OK) doc_.reset();
  return hr;
}

HRESULT Document::Save(const std::string& path, Durability durability) const {
  return WriteFileAtomically(path, Xml(), durability);
}

std::string Document::Xml() const {
  std::ostringstream out;
  doc_.save(out, "", kFormatOptions, pugi::encoding_utf8);
  return out.str();
}

bool IsXmlName(std::string_view name) {
  if (name.empty()) return false;
  auto name_start = [](unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
  };
  if (!name_start(static_cast<unsigned char>(name[0]))) return false;
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (!name_start(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
  }
  return true;
}

bool IsXmlText(std::string_view text) {
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
  }
  return true;
}

pugi::xml_node AppendElement(pugi::xml_node parent, std::string_view name) {
  if (!IsXmlName(name)) throw ComError(E_INVALIDARG);
  pugi::xml_node element = parent.append_child(std::string(name).c_str());
  if (!element) throw ComError(E_OUTOFMEMORY);
  return element;
}

void SetAttribute(pugi::xml_node element, std::string_view name, std::string_view value) {
  if (!IsXmlName(name) || !IsXmlText(value)) throw ComError(E_INVALIDARG);
  const std::string key(name);
  pugi::xml_attribute attribute = element.attribute(key.c_str());
  if (!attribute) attribute = element.append_attribute(key.c_str());
  if (!attribute || !attribute.set_value(std::string(value).c_str())) {
    throw ComError(E_OUTOFMEMORY);
  }
}

void SetText(pugi::xml_node element, std::string_view text) {
  if (!IsXmlText(text)) throw ComError(E_INVALIDARG);
  if (!element.text().set(std::string(text).c_str())) throw ComError(E_OUTOFMEMORY);
}

void SetTypedDate(pugi::xml_node element, OleDate value) {
  SetAttribute(element, kDataTypeAttribute, "dateTime");
  SetText(element, OleDateToIso(value));
}

void SetTypedInt(pugi::xml_node element, std::int32_t value) {
  SetAttribute(element, kDataTypeAttribute, "int");
  SetText(element, std::to_string(value));
}

void SetTypedString(pugi::xml_node element, std::string_view value) {
  SetAttribute(element, kDataTypeAttribute, "string");
  SetText(element, value);
}

std::string DataType(pugi::xml_node element) {
  return element.attribute(kDataTypeAttribute).value();
}

std::optional<OleDate> TypedDate(pugi::xml_node element) {
  if (!element) return std::nullopt;
  return OleDateFromIso(Text(element));
}

std::optional<std::int64_t> TypedInt(pugi::xml_node element) {
  if (!element) return std::nullopt;
  return ParseInteger(Text(element));
}

std::string Text(pugi::xml_node node) {
  if (!node) return {};
  if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) return node.value();
  TextCollector collector;
  node.traverse(collector);
  return std::move(collector.text);
}

std::string Markup(pugi::xml_node node) {
  if (!node) return {};
  std::ostringstream out;
  node.print(out, "", kFormatOptions, pugi::encoding_utf8);
  return out.str();
}

std::vector<pugi::xml_node> ElementsByName(pugi::xml_node node, std::string_view name) {
  std::vector<pugi::xml_node> found;
  struct Walker : pugi::xml_tree_walker {
    std::string_view name;
    std::vector<pugi::xml_node>* found;
    bool for_each(pugi::xml_node& n) override {
      if (n.type() == pugi::node_element && name == n.name()) found->push_back(n);
      return true;
    }
  } walker;
  walker.name = name;
  walker.found = &found;
  node.traverse(walker);
  return found;
}

pugi::xml_node ChildElement(pugi::xml_node node, std::string_view name) {
  for (pugi::xml_node child : node.children()) {
    if (child.type() == pugi::node_element && name == child.name()) return child;
  }
  return {};
}

}  // namespace ringwell::xml
