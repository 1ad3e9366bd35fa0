// The first pass on SSE2, the baseline of x86-64 and of the 32-bit build:
// a quarter of a line per register, four lanes of one entry's four
// elements. SSE2 multiplies no bytes, so each part of a line is widened
// once, for all the queries, into its even elements (x0, x2 of each lane,
// shifted up a byte and back with their sign) and its odd ones (x1, x3),
// 16 bits each; pmaddwd against the query's even and odd elements gives a
// lane's two pair sums in its own 32 bits, and their sum is the lane's
// share of the line. Both operands are signed: no bias.
#include <emmintrin.h>

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

// The sums as 32-bit elements, unsigned so that they wrap: held as __m128i
// (64-bit elements), every addition would convert them, and GCC 12 then
// copies each sum to another register and to the stack on every line.
typedef std::uint32_t Uint32x4 __attribute__((vector_size(16)));

// Four 32-bit lanes of four int8 elements each as 16-bit elements: x0 and
// x2 of each lane, x1 and x3 of each lane.
struct Widened {
  __m128i even;
  __m128i odd;
};

inline Widened widen(__m128i v) { return {_mm_srai_epi16(_mm_slli_epi16(v, 8), 8), _mm_srai_epi16(v, 8)}; }

struct Sse2 {
  using Line = Widened;
  using Query = Widened;
  using Sums = Uint32x4;
  static constexpr std::size_t parts = 4;
  static constexpr std::size_t blocks_at_once = 4;  // bound by arithmetic at 128 elements (bench/NOTES.md)
  static constexpr std::size_t group_size = 2;  // 8 sums in registers; 3 queries spill
  static constexpr std::size_t tile_blocks(std::size_t) { return 1; }
  static Line line(const std::int8_t* p) { return widen(_mm_load_si128(reinterpret_cast<const __m128i*>(p))); }
  static Query query(const std::int8_t* four) { return widen(_mm_set1_epi32(four_elements(four))); }
  static Sums zero() { return Sums{}; }
  static Sums add(Sums sums, const Line& x, const Query& q) {
    return sums + (Sums)_mm_madd_epi16(x.even, q.even) + (Sums)_mm_madd_epi16(x.odd, q.odd);
  }
  static constexpr auto next_reaching = next_reaching_with<4, sse2_reaching_bits>;
  static void store(std::int32_t* out, Sums sums, std::int32_t) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), (__m128i)sums);
  }
};

}  // namespace

const Int8Kernels sse2_int8 = int8_kernels_of<Sse2>();

}  // namespace tessaly::kernels
