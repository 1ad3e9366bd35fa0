// Unsigned decimal numbers in the text of files and environment variables.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tessaly {

// Digits only (no sign, no space), and the value must fit 64 bits.
inline std::optional<std::uint64_t> parse_decimal(std::string_view text) noexcept {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace tessaly
