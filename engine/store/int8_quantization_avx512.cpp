// Rows quantized with AVX-512 registers, by the same arithmetic as every
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
#include <type_traits>

#include <immintrin.h>

#include "engine/store/int8_quantization.hpp"

#include "engine/search/kernels/avx512_target.hpp"

#include "engine/store/int8_quantization_row.hpp"

namespace tessaly::quantization {

namespace {

// Eight floats or integers to doubles in one instruction, and eight
// integers to bytes in one.
struct Avx512Steps {
  static constexpr auto widen = [](auto v) __attribute__((always_inline)) -> Wide {
    if constexpr (std::is_same_v<decltype(v), Floats>) {
      return _mm512_cvtps_pd(reinterpret_cast<__m256>(v));
    } else {
      return _mm512_cvtepi32_pd(reinterpret_cast<__m256i>(v));
    }
  };
  static constexpr auto narrow = [](Ints q) __attribute__((always_inline)) {
    return reinterpret_cast<Bytes>(_mm512_cvtepi32_epi8(_mm512_castsi256_si512(reinterpret_cast<__m256i>(q))));
  };
};

}  // namespace

Int8Terms avx512(const char* row, std::size_t d, std::int8_t* out, std::size_t group_bytes) noexcept {
  return quantize_row<Avx512Steps>(row, d, out, group_bytes);
}

void avx512_batch(const Int8Batch& batch) noexcept { quantize_batch<Avx512Steps>(batch); }

}  // namespace tessaly::quantization

#pragma GCC diagnostic pop
#pragma GCC pop_options
