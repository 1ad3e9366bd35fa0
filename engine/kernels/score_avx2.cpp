// Eight entries per register. Compiled for AVX2 by a pragma placed after
// every other include (not by a flag), so that no library code the headers
// define is built for AVX2 and shared with other paths; FMA stays off.
#include <immintrin.h>

#include <cstddef>

#include "engine/score_batch.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

#include "engine/kernels/lanes.hpp"

namespace tessaly::kernels {
namespace {

struct Avx2 {
  using reg = __m256;
  static constexpr std::size_t width = 8;
  static constexpr std::size_t step = 4;
  static reg set1(float x) { return _mm256_set1_ps(x); }
  static void store(float* p, reg v) { _mm256_storeu_ps(p, v); }
  static reg add(reg a, reg b) { return _mm256_add_ps(a, b); }
  static reg mul(reg a, reg b) { return _mm256_mul_ps(a, b); }
  static reg column(const float* const* rows, std::size_t i) {
    return _mm256_setr_ps(rows[0][i], rows[1][i], rows[2][i], rows[3][i], rows[4][i], rows[5][i],
                          rows[6][i], rows[7][i]);
  }
  // Elements i..i+3 of rows k and k+4 share a register (a load and a load
  // into the upper half), then a 4x4 transpose within each half: 8 shuffles
  // for 32 elements, against 24 for 64 in a full 8x8 transpose.
  static void columns(const float* const* rows, std::size_t i, reg (&c)[4]) {
    reg a[4];
    for (int k = 0; k < 4; ++k) {
      a[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rows[k] + i)),
                                  _mm_loadu_ps(rows[k + 4] + i), 1);
    }
    const reg t0 = _mm256_unpacklo_ps(a[0], a[1]);
    const reg t1 = _mm256_unpackhi_ps(a[0], a[1]);
    const reg t2 = _mm256_unpacklo_ps(a[2], a[3]);
    const reg t3 = _mm256_unpackhi_ps(a[2], a[3]);
    c[0] = _mm256_shuffle_ps(t0, t2, 0x44);
    c[1] = _mm256_shuffle_ps(t0, t2, 0xEE);
    c[2] = _mm256_shuffle_ps(t1, t3, 0x44);
    c[3] = _mm256_shuffle_ps(t1, t3, 0xEE);
  }
  static reg finish(reg dot, reg squares, const QueryTerms& query) {
    const reg zero = _mm256_setzero_ps();
    if (query.squared_norm == 0.0f) return zero;
    const reg score =
        _mm256_div_ps(dot, _mm256_mul_ps(_mm256_set1_ps(query.norm), _mm256_sqrt_ps(squares)));
    return _mm256_andnot_ps(_mm256_cmp_ps(squares, zero, _CMP_EQ_OQ), score);
  }
};

}  // namespace

void score_avx2(const QueryTerms& query, const StoredVector* entries, std::size_t count,
                float* out, std::size_t readable) noexcept {
  score_lanes<Avx2>(query, entries, count, out, readable);
}

}  // namespace tessaly::kernels

#pragma GCC pop_options
