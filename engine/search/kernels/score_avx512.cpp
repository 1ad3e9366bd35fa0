// Sixteen lanes per register: one register per line. Compiled for AVX-512F
// by a pragma placed after every other include (not by a flag), so that no
// library code the headers define is built for AVX-512 and shared with
// other paths; FMA is never used.
#include <immintrin.h>

#include <cstddef>

#include "engine/search/block_kernels.hpp"
#include "engine/search/cosine.hpp"

#include "engine/search/kernels/avx512_target.hpp"  // from here on, AVX-512 code

#include "engine/search/kernels/lanes.hpp"

namespace tessaly::kernels {
namespace {

struct Avx512 {
  using reg = __m512;
  static constexpr std::size_t width = 16;
  static constexpr std::size_t blocks_at_once = 4;  // four streams (bench/NOTES.md)
  static constexpr std::size_t group_size = 8;  // batches of a power of two need no partial group
  // 8 queries x 3 blocks: 24 accumulators, 3 lines, 1 broadcast (bench/NOTES.md).
  static constexpr std::size_t tile_blocks(std::size_t) { return 3; }
  static reg load(const float* p) { return _mm512_load_ps(p); }
  static reg loadu(const float* p) { return _mm512_loadu_ps(p); }
  static void store(float* p, reg v) { _mm512_storeu_ps(p, v); }
  static reg set1(float x) { return _mm512_set1_ps(x); }
  static reg add(reg a, reg b) { return _mm512_add_ps(a, b); }
  static reg mul(reg a, reg b) { return _mm512_mul_ps(a, b); }
  static reg sqrt(reg a) { return _mm512_sqrt_ps(a); }
  static reg finish(reg dot, reg root, float norm) {
    reg score = _mm512_div_ps(dot, _mm512_mul_ps(_mm512_set1_ps(norm), root));
    const __mmask16 nan = _mm512_cmp_ps_mask(score, score, _CMP_UNORD_Q);
    score = _mm512_mask_mov_ps(score, nan, _mm512_set1_ps(kCanonicalNaN));
    const __mmask16 zero = _mm512_cmp_ps_mask(root, _mm512_setzero_ps(), _CMP_EQ_OQ);
    return _mm512_mask_mov_ps(score, zero, _mm512_setzero_ps());
  }
};

}  // namespace

const BlockKernels avx512 = kernels_of<Avx512>();

}  // namespace tessaly::kernels

#pragma GCC diagnostic pop
#pragma GCC pop_options
