// Whole blocks given back as rows, 8 x 8 floats at a time in AVX2
// registers: half a line in, eight elements of one entry out. Shuffles
// only, so the bits are those of every other version.
#include <immintrin.h>

#include <cstddef>

#include "engine/store/row_copy_block.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

namespace tessaly::row_copy {

void avx2_block(const float* block, std::size_t d, float* out) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= d; i += 8) {
    for (std::size_t j = 0; j < kBlockLanes; j += 8) {
      __m256 r[8];
      __m256 t[8];
      for (std::size_t k = 0; k < 8; ++k) r[k] = _mm256_load_ps(block + (i + k) * kBlockLanes + j);
      for (std::size_t k = 0; k < 8; k += 2) {
        t[k] = _mm256_unpacklo_ps(r[k], r[k + 1]);
        t[k + 1] = _mm256_unpackhi_ps(r[k], r[k + 1]);
      }
      for (std::size_t k = 0; k < 8; k += 4) {
        const __m256d a = _mm256_castps_pd(t[k]), b = _mm256_castps_pd(t[k + 1]);
        const __m256d c = _mm256_castps_pd(t[k + 2]), e = _mm256_castps_pd(t[k + 3]);
        r[k] = _mm256_castpd_ps(_mm256_unpacklo_pd(a, c));
        r[k + 1] = _mm256_castpd_ps(_mm256_unpackhi_pd(a, c));
        r[k + 2] = _mm256_castpd_ps(_mm256_unpacklo_pd(b, e));
        r[k + 3] = _mm256_castpd_ps(_mm256_unpackhi_pd(b, e));
      }
      // r[b] holds elements i to i + 3 of entries j + b (low half) and
      // j + 4 + b (high half), r[4 + b] the next four of the same two.
      for (std::size_t b = 0; b < 4; ++b) {
        _mm256_storeu_ps(out + (j + b) * d + i, _mm256_permute2f128_ps(r[b], r[4 + b], 0x20));
        _mm256_storeu_ps(out + (j + 4 + b) * d + i, _mm256_permute2f128_ps(r[b], r[4 + b], 0x31));
      }
    }
  }
  portable_block_from(block, d, i, out);
}

}  // namespace tessaly::row_copy

#pragma GCC pop_options
