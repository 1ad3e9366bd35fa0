// Four lanes per register, four registers per line: the baseline of x86-64,
// and of the 32-bit build (which compiles with -msse2 -mfpmath=sse).
#include <emmintrin.h>

#include "engine/search/cosine.hpp"
#include "engine/search/kernels/lanes.hpp"

namespace tessaly::kernels {
namespace {

struct Sse2 {
  using reg = __m128;
  static constexpr std::size_t width = 4;
  static constexpr std::size_t blocks_at_once = 1;  // four registers per line are enough chains
  static constexpr std::size_t group_size = 2;  // 8 accumulators; more spill (bench/NOTES.md)
  static constexpr std::size_t tile_blocks(std::size_t) { return 1; }
  static reg load(const float* p) { return _mm_load_ps(p); }
  static reg loadu(const float* p) { return _mm_loadu_ps(p); }
  static void store(float* p, reg v) { _mm_storeu_ps(p, v); }
  static reg set1(float x) { return _mm_set1_ps(x); }
  static reg add(reg a, reg b) { return _mm_add_ps(a, b); }
  static reg mul(reg a, reg b) { return _mm_mul_ps(a, b); }
  static reg sqrt(reg a) { return _mm_sqrt_ps(a); }
  static reg finish(reg dot, reg root, float norm) {
    reg score = _mm_div_ps(dot, _mm_mul_ps(_mm_set1_ps(norm), root));
    const reg nan = _mm_cmpunord_ps(score, score);
    score = _mm_or_ps(_mm_andnot_ps(nan, score), _mm_and_ps(nan, _mm_set1_ps(kCanonicalNaN)));
    return _mm_andnot_ps(_mm_cmpeq_ps(root, _mm_setzero_ps()), score);
  }
};

}  // namespace

const BlockKernels sse2 = kernels_of<Sse2>();

}  // namespace tessaly::kernels
