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
  static reg set1(float x) { return _mm256_set1_ps(x); }
  static reg load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, reg v) { _mm256_storeu_ps(p, v); }
  static reg add(reg a, reg b) { return _mm256_add_ps(a, b); }
  static reg mul(reg a, reg b) { return _mm256_mul_ps(a, b); }
  static reg column(const float* const* rows, std::size_t i) {
    return _mm256_setr_ps(rows[0][i], rows[1][i], rows[2][i], rows[3][i], rows[4][i], rows[5][i],
                          rows[6][i], rows[7][i]);
  }
  // 8x8 transpose: 24 shuffles.
  static void transpose(reg (&r)[8]) {
    const reg t0 = _mm256_unpacklo_ps(r[0], r[1]);
    const reg t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const reg t2 = _mm256_unpacklo_ps(r[2], r[3]);
    const reg t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const reg t4 = _mm256_unpacklo_ps(r[4], r[5]);
    const reg t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const reg t6 = _mm256_unpacklo_ps(r[6], r[7]);
    const reg t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const reg u0 = _mm256_shuffle_ps(t0, t2, 0x44);
    const reg u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const reg u2 = _mm256_shuffle_ps(t1, t3, 0x44);
    const reg u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const reg u4 = _mm256_shuffle_ps(t4, t6, 0x44);
    const reg u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const reg u6 = _mm256_shuffle_ps(t5, t7, 0x44);
    const reg u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
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
