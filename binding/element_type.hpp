// The numeric elements of arrays and buffers that are read in place, and
// how each becomes a float32.
//
// An element converts as iterating the object and converting each number
// would: to a double first (exact for every type but the 64-bit integers,
// which round to nearest-even there, as numpy's scalars and int's
// __float__ do), then narrowed to float32 with round-to-nearest-even. A
// bool is 0 or 1 (any nonzero byte is true, as numpy reads it).
#pragma once

#include <cstddef>
#include <optional>

namespace tessaly {

enum class ElementKind : unsigned char {
  boolean,
  int8,
  uint8,
  int16,
  uint16,
  int32,
  uint32,
  int64,
  uint64,
  float16,
  float32,
  float64,
};

struct ElementType {
  ElementKind kind;
  bool swapped;  // stored in the other byte order than this machine's

  bool is_native_float32() const noexcept { return kind == ElementKind::float32 && !swapped; }
  bool is_native_float() const noexcept {
    return !swapped && (kind == ElementKind::float32 || kind == ElementKind::float64);
  }
};

// numpy's description of a dtype (the array interface's typekind and
// itemsize); nothing for kinds read element by element (complex, object,
// long double, dates, ...).
std::optional<ElementType> array_element_type(char typekind, int itemsize, bool native_order) noexcept;

// A buffer's struct-module format of one element ("B", "<i", ">e", "@q",
// "?", ...) with its size; nothing for any other format.
std::optional<ElementType> buffer_element_type(const char* format, std::ptrdiff_t itemsize) noexcept;

// Where a grid's elements lie: element (r, c) at
// data + r * row_stride + c * column_stride.
struct ElementLayout {
  const char* data;
  std::size_t columns;
  std::ptrdiff_t row_stride;
  std::ptrdiff_t column_stride;
};

// Rows [first, first + count) converted back to back into `out`. Reads
// memory only; the caller pins the default floating-point mode.
void convert_rows(ElementType type, const ElementLayout& grid, std::size_t first, std::size_t count,
                  float* out) noexcept;

}  // namespace tessaly
