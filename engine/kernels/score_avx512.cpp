// Sixteen entries per register. Compiled for AVX-512F by a pragma placed
// after every other include (not by a flag), so that no library code the
// headers define is built for AVX-512 and shared with other paths; FMA is
// never used.
#include <immintrin.h>

#include <cstddef>

#include "engine/score_batch.hpp"

#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12's own AVX-512 intrinsics trip this warning (_mm512_undefined_ps).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "engine/kernels/lanes.hpp"

namespace tessaly::kernels {
namespace {

struct Avx512 {
  using reg = __m512;
  static constexpr std::size_t width = 16;
  static constexpr std::size_t step = 16;
  static reg set1(float x) { return _mm512_set1_ps(x); }
  static void store(float* p, reg v) { _mm512_storeu_ps(p, v); }
  static reg add(reg a, reg b) { return _mm512_add_ps(a, b); }
  static reg mul(reg a, reg b) { return _mm512_mul_ps(a, b); }
  static reg column(const float* const* rows, std::size_t i) {
    return _mm512_setr_ps(rows[0][i], rows[1][i], rows[2][i], rows[3][i], rows[4][i], rows[5][i],
                          rows[6][i], rows[7][i], rows[8][i], rows[9][i], rows[10][i],
                          rows[11][i], rows[12][i], rows[13][i], rows[14][i], rows[15][i]);
  }
  static reg unpacklo64(reg a, reg b) {
    return _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
  }
  static reg unpackhi64(reg a, reg b) {
    return _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
  }
  // 16x16 transpose: 64 shuffles. After the two unpack stages, 128-bit lane
  // L of u[4g + m] holds element 4L + m of rows 4g..4g+3; the two 128-bit
  // shuffle stages gather those four lanes into one register per element.
  static void columns(const float* const* rows, std::size_t i, reg (&r)[16]) {
    for (int k = 0; k < 16; ++k) r[k] = _mm512_loadu_ps(rows[k] + i);
    reg t[16];
    for (int g = 0; g < 16; g += 2) {
      t[g] = _mm512_unpacklo_ps(r[g], r[g + 1]);
      t[g + 1] = _mm512_unpackhi_ps(r[g], r[g + 1]);
    }
    reg u[16];
    for (int g = 0; g < 16; g += 4) {
      u[g + 0] = unpacklo64(t[g], t[g + 2]);
      u[g + 1] = unpackhi64(t[g], t[g + 2]);
      u[g + 2] = unpacklo64(t[g + 1], t[g + 3]);
      u[g + 3] = unpackhi64(t[g + 1], t[g + 3]);
    }
    for (int m = 0; m < 4; ++m) {
      const reg v0 = _mm512_shuffle_f32x4(u[m], u[4 + m], 0x88);
      const reg v1 = _mm512_shuffle_f32x4(u[m], u[4 + m], 0xDD);
      const reg w0 = _mm512_shuffle_f32x4(u[8 + m], u[12 + m], 0x88);
      const reg w1 = _mm512_shuffle_f32x4(u[8 + m], u[12 + m], 0xDD);
      r[m] = _mm512_shuffle_f32x4(v0, w0, 0x88);
      r[8 + m] = _mm512_shuffle_f32x4(v0, w0, 0xDD);
      r[4 + m] = _mm512_shuffle_f32x4(v1, w1, 0x88);
      r[12 + m] = _mm512_shuffle_f32x4(v1, w1, 0xDD);
    }
  }
  static reg finish(reg dot, reg squares, const QueryTerms& query) {
    const reg zero = _mm512_setzero_ps();
    if (query.squared_norm == 0.0f) return zero;
    const reg score =
        _mm512_div_ps(dot, _mm512_mul_ps(_mm512_set1_ps(query.norm), _mm512_sqrt_ps(squares)));
    const __mmask16 zero_norm = _mm512_cmp_ps_mask(squares, zero, _CMP_EQ_OQ);
    return _mm512_mask_mov_ps(score, zero_norm, zero);
  }
};

}  // namespace

void score_avx512(const QueryTerms& query, const StoredVector* entries, std::size_t count,
                  float* out, std::size_t readable) noexcept {
  score_lanes<Avx512>(query, entries, count, out, readable);
}

}  // namespace tessaly::kernels

#pragma GCC diagnostic pop
#pragma GCC pop_options
