// Globally unique identifiers of classes, interfaces and requests, in the
// registry string form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (38 characters,
// upper-case hexadecimal). Identifiers known at compile time are written with
// the _guid literal, which checks their form while compiling.
//
// Thread-safety: values; Generate may be called from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ringwell {

struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};

  friend constexpr bool operator==(const Guid&, const Guid&) = default;
  friend constexpr auto operator<=>(const Guid&, const Guid&) = default;

  // Parses the registry string form, braces required, either letter case.
  static constexpr std::optional<Guid> Parse(std::string_view text);
  // A new random identifier.
  static Guid Generate();
  // The registry string form, upper-case.
  std::string ToString() const;
  bool IsNull() const { return *this == Guid{}; }
};

inline constexpr Guid kGuidNull{};

namespace guid_detail {
constexpr int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
constexpr bool ReadHex(std::string_view text, std::size_t pos, std::size_t digits,
                       std::uint64_t& out) {
  out = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    int v = HexValue(text[pos + i]);
    if (v < 0) return false;
    out = (out << 4) | static_cast<std::uint64_t>(v);
  }
  return true;
}
}  // namespace guid_detail

constexpr std::optional<Guid> Guid::Parse(std::string_view text) {
  using guid_detail::ReadHex;
  if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
      text[19] != '-' || text[24] != '-') {
    return std::nullopt;
  }
  Guid g;
  std::uint64_t v = 0;
  if (!ReadHex(text, 1, 8, v)) return std::nullopt;
  g.data1 = static_cast<std::uint32_t>(v);
  if (!ReadHex(text, 10, 4, v)) return std::nullopt;
  g.data2 = static_cast<std::uint16_t>(v);
  if (!ReadHex(text, 15, 4, v)) return std::nullopt;
  g.data3 = static_cast<std::uint16_t>(v);
  for (std::size_t i = 0; i < 2; ++i) {
    if (!ReadHex(text, 20 + 2 * i, 2, v)) return std::nullopt;
    g.data4[i] = static_cast<std::uint8_t>(v);
  }
  for (std::size_t i = 0; i < 6; ++i) {
    if (!ReadHex(text, 25 + 2 * i, 2, v)) return std::nullopt;
    g.data4[2 + i] = static_cast<std::uint8_t>(v);
  }
  return g;
}

namespace literals {
// "{...}"_guid: an identifier checked at compile time.
consteval Guid operator""_guid(const char* text, std::size_t size) {
  auto parsed = Guid::Parse(std::string_view(text, size));
  if (!parsed) throw "malformed GUID literal";
  return *parsed;
}
}  // namespace literals

}  // namespace ringwell
