// The text of a failure, composed without allocating.
//
// A failure must be reportable when memory has run out, so its text lives
// in a fixed buffer: static text and decimal numbers, appended in order.
// Every message the module composes fits; a longer one is cut short.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace tessaly {

class Message {
 public:
  static constexpr std::size_t kCapacity = 240;

  Message() noexcept = default;
  Message(std::string_view text) noexcept { *this << text; }  // NOLINT: a literal is a message
  Message(const char* text) noexcept { *this << std::string_view(text); }  // NOLINT

  Message& operator<<(std::string_view text) noexcept {
    for (char c : text) {
      if (size_ == kCapacity) break;
      text_[size_++] = c;
    }
    return *this;
  }
  Message& operator<<(const char* text) noexcept { return *this << std::string_view(text); }

  template <std::integral Number>
    requires(!std::is_same_v<Number, char> && !std::is_same_v<Number, bool>)
  Message& operator<<(Number number) noexcept {
    if constexpr (std::is_signed_v<Number>) {
      if (number < 0) {
        *this << "-";
        return append_decimal(static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(number));
      }
    }
    return append_decimal(static_cast<std::uint64_t>(number));
  }

  std::string_view view() const noexcept { return {text_, size_}; }

 private:
  Message& append_decimal(std::uint64_t value) noexcept {
    char digits[20];
    std::size_t count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (count > 0) *this << std::string_view(&digits[--count], 1);
    return *this;
  }

  char text_[kCapacity];
  std::size_t size_ = 0;
};

}  // namespace tessaly
