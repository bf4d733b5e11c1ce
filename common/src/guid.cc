#include "ringwell/common/guid.h"

#include <uuid/uuid.h>

#include <cstdio>

namespace ringwell {

Guid Guid::Generate() {
  uuid_t raw;
  uuid_generate_random(raw);
  Guid g;
  g.data1 = (std::uint32_t{raw[0]} << 24) | (std::uint32_t{raw[1]} << 16) |
            (std::uint32_t{raw[2]} << 8) | std::uint32_t{raw[3]};
  g.data2 = static_cast<std::uint16_t>((raw[4] << 8) | raw[5]);
  g.data3 = static_cast<std::uint16_t>((raw[6] << 8) | raw[7]);
  for (std::size_t i = 0; i < 8; ++i) g.data4[i] = raw[8 + i];
  return g;
}

std::string Guid::ToString() const {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1,
                data2, data3, data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6],
                data4[7]);
  return buffer;
}

}  // namespace ringwell
