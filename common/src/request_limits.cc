#include "ringwell/common/request_limits.h"

#include <cstring>

#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/xml.h"

namespace ringwell {

RequestLimits ConfiguredRequestLimits() {
  RequestLimits limits;
  registry::Key key;
  if (Failed(registry::Key::Open(kConfigKey, &key))) return limits;
  auto read = [&](const char* name, std::uint32_t* limit) {
    std::uint32_t value = 0;
    if (Succeeded(key.QueryDword(name, &value)) && value > 0) *limit = value;
  };
  read(kMaxRequestPartsValue, &limits.max_parts);
  read(kMaxRequestTextBytesValue, &limits.max_text_bytes);
  read(kMaxRequestAudioSecondsValue, &limits.max_audio_seconds);
  return limits;
}

RequestSize MeasureRequest(pugi::xml_node request) {
  RequestSize size;
  // Depth first without recursion: a request of any depth is measured.
  pugi::xml_node node = request.first_child();
  while (node && node != request) {
    if (node.type() == pugi::node_element && std::strcmp(node.name(), "MessagePart") == 0) {
      ++size.parts;
      // The text of the part and its descendants, as the daemon speaks it.
      if (std::strcmp(node.attribute("Type").value(), "Text") == 0) {
        size.text_bytes += xml::Text(node).size();
      }
    }
    if (pugi::xml_node child = node.first_child()) {
      node = child;
      continue;
    }
    while (node && node != request && !node.next_sibling()) node = node.parent();
    if (node && node != request) node = node.next_sibling();
  }
  return size;
}

std::optional<std::string> RequestSizeFault(const RequestSize& size, const RequestLimits& limits) {
  if (size.parts > limits.max_parts) {
    return "The request has " + std::to_string(size.parts) +
           " message parts, more than the limit of " + std::to_string(limits.max_parts) + " (" +
           kMaxRequestPartsValue + ").";
  }
  if (size.text_bytes > limits.max_text_bytes) {
    return "The request has " + std::to_string(size.text_bytes) +
           " bytes of text, more than the limit of " + std::to_string(limits.max_text_bytes) +
           " (" + kMaxRequestTextBytesValue + ").";
  }
  return std::nullopt;
}

std::string RequestAudioFault(const RequestLimits& limits) {
  return "The request's audio lasts more than " + std::to_string(limits.max_audio_seconds) +
         " seconds, the limit (" + kMaxRequestAudioSecondsValue + ").";
}

}  // namespace ringwell
