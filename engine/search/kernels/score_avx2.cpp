// Eight lanes per register, two registers per line. Compiled for AVX2 by a
// pragma placed after every other include (not by a flag), so that no
// library code the headers define is built for AVX2 and shared with other
// paths; FMA stays off.
#include <immintrin.h>

#include <cstddef>

#include "engine/search/block_kernels.hpp"
#include "engine/search/cosine.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

#include "engine/search/kernels/lanes.hpp"

namespace tessaly::kernels {
namespace {

struct Avx2 {
  using reg = __m256;
  static constexpr std::size_t width = 8;
  static constexpr std::size_t blocks_at_once = 2;  // two streams of a run
  static constexpr std::size_t group_size = 6;  // the most queries whose sums fit 16 registers
  // 6 queries x 1 block: 12 accumulators, 2 line registers, 1 broadcast
  // (bench/NOTES.md).
  static constexpr std::size_t tile_blocks(std::size_t queries) { return queries == 1 ? 3 : queries == 2 ? 2 : 1; }
  static reg load(const float* p) { return _mm256_load_ps(p); }
  static reg loadu(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, reg v) { _mm256_storeu_ps(p, v); }
  static reg set1(float x) { return _mm256_set1_ps(x); }
  static reg add(reg a, reg b) { return _mm256_add_ps(a, b); }
  static reg mul(reg a, reg b) { return _mm256_mul_ps(a, b); }
  static reg sqrt(reg a) { return _mm256_sqrt_ps(a); }
  static reg finish(reg dot, reg root, float norm) {
    reg score = _mm256_div_ps(dot, _mm256_mul_ps(_mm256_set1_ps(norm), root));
    score = _mm256_blendv_ps(score, _mm256_set1_ps(kCanonicalNaN), _mm256_cmp_ps(score, score, _CMP_UNORD_Q));
    return _mm256_andnot_ps(_mm256_cmp_ps(root, _mm256_setzero_ps(), _CMP_EQ_OQ), score);
  }
};

}  // namespace

const BlockKernels avx2 = kernels_of<Avx2>();

}  // namespace tessaly::kernels

#pragma GCC pop_options
