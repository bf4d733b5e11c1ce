#include "pager/page_text.h"

#include <stdexcept>

#include "ringwell/common/text.h"
#include "ringwell/common/xml.h"

namespace ringwell::host::pager {

std::string PageText(std::string_view request_xml, std::size_t max_length) {
  xml::Document request;
  if (request.LoadXml(request_xml) != S_OK) return "";
  const pugi::xml_node message =
      xml::ChildElement(xml::ChildElement(request.FirstChild(), "CallTree"), "Message");
  std::string text;
  for (pugi::xml_node part : message.children()) {
    if (std::string_view(part.name()) != "MessagePart" ||
        std::string_view(part.attribute("Type").value()) != "Text") {
      continue;
    }
    const std::string content = xml::Text(part);
    const std::string_view trimmed = Trim(content);
    if (trimmed.empty()) continue;
    if (!text.empty()) text += ' ';
    text += trimmed;
  }
  return CutToLength(std::move(text), max_length);
}

std::string RequestId(std::string_view request_xml) {
  xml::Document request;
  if (request.LoadXml(request_xml) != S_OK) return "";
  return request.FirstChild().attribute("ID").value();
}

std::string CutToLength(std::string text, std::size_t max_length) {
  if (max_length == 0) return text;
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    // Every byte but a UTF-8 continuation byte starts a character.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && characters++ == max_length) {
      text.resize(i);
      break;
    }
  }
  return text;
}

std::string UrlEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 15];
    }
  }
  return encoded;
}

std::string FillTemplate(std::string_view pattern, const PageFields& fields, const Secrets& secrets,
                         Encoding encoding) {
  std::string filled;
  std::size_t at = 0;
  while (at < pattern.size()) {
    const std::size_t open = pattern.find('{', at);
    if (open == std::string_view::npos) break;
    const std::size_t close = pattern.find('}', open);
    if (close == std::string_view::npos) break;
    filled += pattern.substr(at, open - at);
    const std::string_view name = pattern.substr(open + 1, close - open - 1);
    std::string value;
    if (name == "number") {
      value = fields.number;
    } else if (name == "text") {
      value = fields.text;
    } else if (name == "id") {
      value = fields.id;
    } else if (name.starts_with("secret:")) {
      const std::string* secret = secrets.Find(name.substr(7));
      if (secret == nullptr) {
        throw std::runtime_error("no secret named \"" + std::string(name.substr(7)) +
                                 "\" in the secrets file");
      }
      value = *secret;
    } else {
      throw std::runtime_error("unknown placeholder {" + std::string(name) + "} in \"" +
                               std::string(pattern) + "\"");
    }
    filled += encoding == Encoding::kUrl ? UrlEncode(value) : value;
    at = close + 1;
  }
  filled += pattern.substr(at);
  return filled;
}

}  // namespace ringwell::host::pager
