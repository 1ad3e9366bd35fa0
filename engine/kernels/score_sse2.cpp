// Four entries per register: the baseline of x86-64, and of the 32-bit
// build (which compiles with -msse2 -mfpmath=sse).
#include <emmintrin.h>

#include "engine/kernels/lanes.hpp"

namespace tessaly::kernels {
namespace {

struct Sse2 {
  using reg = __m128;
  static constexpr std::size_t width = 4;
  static constexpr std::size_t step = 4;
  static reg set1(float x) { return _mm_set1_ps(x); }
  static void store(float* p, reg v) { _mm_storeu_ps(p, v); }
  static reg add(reg a, reg b) { return _mm_add_ps(a, b); }
  static reg mul(reg a, reg b) { return _mm_mul_ps(a, b); }
  static reg column(const float* const* rows, std::size_t i) {
    return _mm_setr_ps(rows[0][i], rows[1][i], rows[2][i], rows[3][i]);
  }
  static void columns(const float* const* rows, std::size_t i, reg (&c)[4]) {
    for (int k = 0; k < 4; ++k) c[k] = _mm_loadu_ps(rows[k] + i);
    _MM_TRANSPOSE4_PS(c[0], c[1], c[2], c[3]);
  }
  static reg finish(reg dot, reg squares, const QueryTerms& query) {
    const reg zero = _mm_setzero_ps();
    if (query.squared_norm == 0.0f) return zero;
    const reg score = _mm_div_ps(dot, _mm_mul_ps(_mm_set1_ps(query.norm), _mm_sqrt_ps(squares)));
    return _mm_andnot_ps(_mm_cmpeq_ps(squares, zero), score);
  }
};

}  // namespace

void score_sse2(const QueryTerms& query, const StoredVector* entries, std::size_t count,
                float* out, std::size_t readable) noexcept {
  score_lanes<Sse2>(query, entries, count, out, readable);
}

}  // namespace tessaly::kernels
