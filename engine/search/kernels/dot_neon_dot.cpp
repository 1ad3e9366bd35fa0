// The first pass on 64-bit ARM with the dot-product extension: a quarter of
// a line per register, four lanes of one entry's four elements, and sdot
// adds a lane's four products to its sum in one instruction. Both operands
// are signed: no bias. Compiled for Armv8.2-A with the extension by a pragma
// placed after every other include, not by a flag (GCC 12 takes the
// extension only with an architecture named: "+dotprod" alone does not
// reach arm_neon.h's vdotq_s32).
#include <arm_neon.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "engine/search/int8_kernels.hpp"
#include "engine/store/block_chunks.hpp"
#include "engine/store/int8_copy.hpp"

#pragma GCC push_options
#pragma GCC target("arch=armv8.2-a+dotprod")

#include "engine/search/kernels/int8_lanes.hpp"

namespace tessaly::kernels {
namespace {

struct NeonDot {
  using Line = int8x16_t;
  using Query = int8x16_t;
  using Sums = int32x4_t;
  static constexpr std::size_t parts = 4;
  static constexpr std::size_t blocks_at_once = 1;  // four sums per block, as the float kernel's chains
  // 4 queries x 1 block: 16 sums, 4 line registers and a query of 32, and 8
  // loads (4 lines, 4 replicated queries) for 16 sdot: the sdot pipes, not
  // the loads, are the limit on cores with two or more of each.
  static constexpr std::size_t group_size = 4;
  static constexpr std::size_t tile_blocks(std::size_t queries) { return queries > 2 ? 1 : queries > 1 ? 2 : 3; }
  static Line line(const std::int8_t* p) { return vld1q_s8(p); }
  static Query query(const std::int8_t* four) { return vreinterpretq_s8_s32(vdupq_n_s32(four_elements(four))); }
  static Sums zero() { return vdupq_n_s32(0); }
  static Sums add(Sums sums, Line x, Query q) { return vdotq_s32(sums, x, q); }
  static constexpr auto next_reaching = next_reaching_with<4, reaching_bits<4>>;
  static void store(std::int32_t* out, Sums sums, std::int32_t) { vst1q_s32(out, sums); }
};

}  // namespace

const Int8Kernels neon_dot_int8 = int8_kernels_of<NeonDot>();

}  // namespace tessaly::kernels

#pragma GCC pop_options
