// Four lanes per register, four registers per line: 64-bit ARM, where NEON
// is always there. vmulq_f32 and then vaddq_f32, never a fused
// multiply-add (vfmaq_f32, or vmlaq_f32, which compilers may fuse); the
// build's -ffp-contract=off keeps the compiler from fusing them itself.
#include <arm_neon.h>

#include "engine/search/cosine.hpp"
#include "engine/search/kernels/lanes.hpp"

namespace tessaly::kernels {
namespace {

struct Neon {
  using reg = float32x4_t;
  static constexpr std::size_t width = 4;
  static constexpr std::size_t blocks_at_once = 1;  // four registers per line are enough chains
  static constexpr std::size_t group_size = 4;  // 16 accumulators of 32 registers
  // 4 queries x 1 block: 16 accumulators, 4 line registers, 1 broadcast
  // (bench/NOTES.md).
  static constexpr std::size_t tile_blocks(std::size_t queries) { return queries == 1 ? 3 : queries == 2 ? 2 : 1; }
  static reg load(const float* p) { return vld1q_f32(p); }
  static reg loadu(const float* p) { return vld1q_f32(p); }
  static void store(float* p, reg v) { vst1q_f32(p, v); }
  static reg set1(float x) { return vdupq_n_f32(x); }
  static reg add(reg a, reg b) { return vaddq_f32(a, b); }
  static reg mul(reg a, reg b) { return vmulq_f32(a, b); }
  static reg sqrt(reg a) { return vsqrtq_f32(a); }
  static reg finish(reg dot, reg root, float norm) {
    reg score = vdivq_f32(dot, vmulq_f32(vdupq_n_f32(norm), root));
    score = vbslq_f32(vceqq_f32(score, score), score, vdupq_n_f32(kCanonicalNaN));
    return vbslq_f32(vceqq_f32(root, vdupq_n_f32(0.0f)), vdupq_n_f32(0.0f), score);
  }
};

}  // namespace

const BlockKernels neon = kernels_of<Neon>();

}  // namespace tessaly::kernels
