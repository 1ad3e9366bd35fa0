// The first pass on 64-bit ARM without the dot-product extension: a quarter
// of a line per register, four lanes of one entry's four elements.
// vmull_s8 multiplies a register's low eight bytes (two lanes) by the
// query's four elements twice over into 16 bits (127 * 127 at most),
// vmull_high_s8 its high eight; vpaddq_s16 adds neighbouring products (a
// pair at most 2 * 127 * 127 = 32258), which leaves a lane's two pair sums
// side by side, and vpadalq_s16 adds each two into the lane's 32-bit sum.
// Both operands are signed: no bias.
#include <arm_neon.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "engine/search/int8_kernels.hpp"
#include "engine/store/block_chunks.hpp"
#include "engine/store/int8_copy.hpp"

#include "engine/search/kernels/int8_lanes.hpp"

namespace tessaly::kernels {
namespace {

struct Neon {
  using Line = int8x16_t;
  using Query = int8x16_t;
  using Sums = int32x4_t;
  static constexpr std::size_t parts = 4;
  static constexpr std::size_t blocks_at_once = 1;  // four sums per block, as the float kernel's chains
  // 2 queries x 1 block: 8 sums, 4 line registers, 2 queries and the
  // products; GCC 12 schedules every product of a line early, and with 3 or
  // 4 queries those spill out of the 32 registers.
  static constexpr std::size_t group_size = 2;
  static constexpr std::size_t tile_blocks(std::size_t queries) { return queries > 1 ? 1 : 3; }
  static Line line(const std::int8_t* p) { return vld1q_s8(p); }
  static Query query(const std::int8_t* four) { return vreinterpretq_s8_s32(vdupq_n_s32(four_elements(four))); }
  static Sums zero() { return vdupq_n_s32(0); }
  static Sums add(Sums sums, Line x, Query q) {
    const int16x8_t low = vmull_s8(vget_low_s8(x), vget_low_s8(q));
    const int16x8_t high = vmull_high_s8(x, q);
    return vpadalq_s16(sums, vpaddq_s16(low, high));
  }
  static constexpr auto next_reaching = next_reaching_with<4, reaching_bits<4>>;
  static void store(std::int32_t* out, Sums sums, std::int32_t) { vst1q_s32(out, sums); }
};

}  // namespace

const Int8Kernels neon_int8 = int8_kernels_of<Neon>();

}  // namespace tessaly::kernels
