// Rows quantized with AVX2 registers, by the same arithmetic as every
// other version. The row header's includes come first and the target after
// them, so that only the row's function is built for it and no library code
// a header defines is built for it and shared with other versions.
#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "engine/store/int8_quantization.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

#include "engine/store/int8_quantization_row.hpp"

namespace tessaly::quantization {

Int8Terms avx2(const char* row, std::size_t d, std::int8_t* out, std::size_t group_bytes) noexcept {
  return quantize_row(row, d, out, group_bytes);
}

void avx2_batch(const Int8Batch& batch) noexcept { quantize_batch(batch); }

}  // namespace tessaly::quantization

#pragma GCC pop_options
