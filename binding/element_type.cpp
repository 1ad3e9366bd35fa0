#include "binding/element_type.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "engine/base/float_environment.hpp"

namespace tessaly {
namespace {

std::optional<ElementType> sized_integer(bool is_signed, std::ptrdiff_t size, bool swapped) {
  switch (size) {
    case 1: return ElementType{is_signed ? ElementKind::int8 : ElementKind::uint8, false};
    case 2: return ElementType{is_signed ? ElementKind::int16 : ElementKind::uint16, swapped};
    case 4: return ElementType{is_signed ? ElementKind::int32 : ElementKind::uint32, swapped};
    case 8: return ElementType{is_signed ? ElementKind::int64 : ElementKind::uint64, swapped};
    default: return std::nullopt;
  }
}

std::optional<ElementType> sized_float(std::ptrdiff_t size, bool swapped) {
  switch (size) {
    case 2: return ElementType{ElementKind::float16, swapped};
    case 4: return ElementType{ElementKind::float32, swapped};
    case 8: return ElementType{ElementKind::float64, swapped};
    default: return std::nullopt;  // long double: element by element
  }
}

inline std::uint8_t byte_swap(std::uint8_t bits) { return bits; }
inline std::uint16_t byte_swap(std::uint16_t bits) { return __builtin_bswap16(bits); }
inline std::uint32_t byte_swap(std::uint32_t bits) { return __builtin_bswap32(bits); }
inline std::uint64_t byte_swap(std::uint64_t bits) { return __builtin_bswap64(bits); }

// A half-precision value, exactly (as numpy widens one).
double half_to_double(std::uint16_t half) {
  const std::uint64_t sign = static_cast<std::uint64_t>(half >> 15) << 63;
  const unsigned exponent = (half >> 10) & 0x1fu;
  const std::uint64_t fraction = half & 0x3ffu;
  if (exponent == 0) {  // zero or subnormal: fraction * 2**-24, exact in a double
    const double magnitude = static_cast<double>(fraction) * 0x1p-24;
    return sign != 0 ? -magnitude : magnitude;
  }
  const std::uint64_t biased = exponent == 0x1f ? 0x7ff : exponent - 15 + 1023;  // infinities and NaNs stay so
  return std::bit_cast<double>(sign | biased << 52 | fraction << 42);
}

// The float32 of a double, rounded to nearest-even in the pinned mode.
inline float narrow(double value) { return static_cast<float>(value); }

// Every element of the rows, each read as `Bits` (the element's size),
// put in this machine's byte order and converted by `convert`. Contiguous
// rows in native order have a loop of their own, which the compiler
// vectorizes.
template <class Bits, class Convert>
void convert_each(const ElementLayout& grid, bool swapped, std::size_t first, std::size_t count, float* out,
                  Convert convert) {
  const bool contiguous = !swapped && grid.column_stride == static_cast<std::ptrdiff_t>(sizeof(Bits));
  for (std::size_t r = first; r < first + count; ++r) {
    const char* row = grid.data + static_cast<std::ptrdiff_t>(r) * grid.row_stride;
    if (contiguous) {
      for (std::size_t c = 0; c < grid.columns; ++c) {
        Bits bits;
        std::memcpy(&bits, row + c * sizeof(Bits), sizeof(Bits));
        out[c] = convert(bits);
      }
    } else {
      for (std::size_t c = 0; c < grid.columns; ++c) {
        Bits bits;
        std::memcpy(&bits, row + static_cast<std::ptrdiff_t>(c) * grid.column_stride, sizeof(Bits));
        out[c] = convert(swapped ? byte_swap(bits) : bits);
      }
    }
    out += grid.columns;
  }
}

// An integer of `Bits`' size read as `Integer` (the signed or unsigned
// type of that size), through its double.
template <class Integer, class Bits>
float integer_to_float(Bits bits) {
  return narrow(static_cast<double>(static_cast<Integer>(bits)));
}

}  // namespace

std::optional<ElementType> array_element_type(char typekind, int itemsize, bool native_order) noexcept {
  const bool swapped = !native_order;
  switch (typekind) {
    case 'b': return itemsize == 1 ? std::optional(ElementType{ElementKind::boolean, false}) : std::nullopt;
    case 'i': return sized_integer(true, itemsize, swapped);
    case 'u': return sized_integer(false, itemsize, swapped);
    case 'f': return sized_float(itemsize, swapped);
    default: return std::nullopt;
  }
}

std::optional<ElementType> buffer_element_type(const char* format, std::ptrdiff_t itemsize) noexcept {
  std::string_view text = format != nullptr ? format : "B";
  bool swapped = false;
  // '@' and '=' are this machine's order, which the build requires to be
  // little-endian: '<' is it too, '>' and '!' the other.
  if (!text.empty() && std::string_view("@=<>!").find(text.front()) != std::string_view::npos) {
    swapped = text.front() == '>' || text.front() == '!';
    text.remove_prefix(1);
  }
  if (text.size() != 1) return std::nullopt;
  const char code = text.front();
  if (code == '?') return itemsize == 1 ? std::optional(ElementType{ElementKind::boolean, false}) : std::nullopt;
  if (std::string_view("bhilqn").find(code) != std::string_view::npos) return sized_integer(true, itemsize, swapped);
  if (std::string_view("BHILQN").find(code) != std::string_view::npos) return sized_integer(false, itemsize, swapped);
  if (code == 'e' || code == 'f' || code == 'd') {
    const std::optional<ElementType> type = sized_float(itemsize, swapped);
    const std::ptrdiff_t size = code == 'e' ? 2 : code == 'f' ? 4 : 8;
    return itemsize == size ? type : std::nullopt;
  }
  return std::nullopt;
}

void convert_rows(ElementType type, const ElementLayout& grid, std::size_t first, std::size_t count,
                  float* out) noexcept {
  const bool swapped = type.swapped;
  switch (type.kind) {
    case ElementKind::boolean:
      return convert_each<std::uint8_t>(grid, false, first, count, out,
                                        [](std::uint8_t bits) { return bits != 0 ? 1.0f : 0.0f; });
    case ElementKind::int8:
      return convert_each<std::uint8_t>(grid, false, first, count, out, integer_to_float<std::int8_t, std::uint8_t>);
    case ElementKind::uint8:
      return convert_each<std::uint8_t>(grid, false, first, count, out, integer_to_float<std::uint8_t, std::uint8_t>);
    case ElementKind::int16:
      return convert_each<std::uint16_t>(grid, swapped, first, count, out,
                                         integer_to_float<std::int16_t, std::uint16_t>);
    case ElementKind::uint16:
      return convert_each<std::uint16_t>(grid, swapped, first, count, out,
                                         integer_to_float<std::uint16_t, std::uint16_t>);
    case ElementKind::int32:
      return convert_each<std::uint32_t>(grid, swapped, first, count, out,
                                         integer_to_float<std::int32_t, std::uint32_t>);
    case ElementKind::uint32:
      return convert_each<std::uint32_t>(grid, swapped, first, count, out,
                                         integer_to_float<std::uint32_t, std::uint32_t>);
    case ElementKind::int64:
      return convert_each<std::uint64_t>(grid, swapped, first, count, out,
                                         integer_to_float<std::int64_t, std::uint64_t>);
    case ElementKind::uint64:
      return convert_each<std::uint64_t>(grid, swapped, first, count, out,
                                         integer_to_float<std::uint64_t, std::uint64_t>);
    case ElementKind::float16:
      return convert_each<std::uint16_t>(grid, swapped, first, count, out,
                                         [](std::uint16_t bits) { return narrow(half_to_double(bits)); });
    case ElementKind::float32:  // through the double, as a numpy float32's __float__ goes
      return convert_each<std::uint32_t>(grid, swapped, first, count, out, [](std::uint32_t bits) {
        double wide = static_cast<double>(std::bit_cast<float>(bits));
        float_controls::in_float_register(wide);  // not folded away: the round trip quiets a signalling NaN
        return narrow(wide);
      });
    case ElementKind::float64:
      return convert_each<std::uint64_t>(grid, swapped, first, count, out,
                                         [](std::uint64_t bits) { return narrow(std::bit_cast<double>(bits)); });
  }
}

}  // namespace tessaly
