#include "request_id.h"

#include "ringwell/common/guid.h"

namespace ringwell::kel::client {

std::optional<std::string> CanonicalRequestId(std::string_view text) {
  std::string braced(text);
  if (text.size() == 36) braced = "{" + braced + "}";
  const std::optional<Guid> guid = Guid::Parse(braced);
  if (!guid) return std::nullopt;
  return guid->ToString();
}

std::string NormaliseRequestId(std::string_view text) {
  return CanonicalRequestId(text).value_or(std::string(text));
}

}  // namespace ringwell::kel::client
