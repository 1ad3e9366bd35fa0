// The first pass on AVX-512 without VNNI: a 64-byte line is one register,
// sixteen lanes of one entry's four elements. vpmaddubsw multiplies the
// magnitudes of the line's bytes, |x~| (vpabsb, once per line for all the
// queries), by the query's bytes negated where x~ is negative (a masked
// subtraction from zero under the line's sign bits) and
// adds them in pairs (at most 2 * 127 * 127 = 32258, so never saturated);
// vpmaddwd by ones adds the pairs of a lane into 32 bits. Both sides keep
// their signs: no bias. The byte and word instructions are AVX512BW's: int8_kernels()
// takes this file's kernels where the processor has it and the AVX2 ones
// where it has AVX-512F alone (Xeon Phi), whose 256-bit instructions do the
// same work in two halves. Compiled for AVX-512F and BW by pragmas placed
// after every other include, not by a flag.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "engine/search/int8_kernels.hpp"
#include "engine/store/block_chunks.hpp"
#include "engine/store/int8_copy.hpp"

#include "engine/search/kernels/avx512_target.hpp"  // from here on, AVX-512 code
#pragma GCC target("avx512bw")

#include "engine/search/kernels/int8_lanes.hpp"

namespace tessaly::kernels {
namespace {

// The sums as 32-bit elements, unsigned so that they wrap: held as __m512i
// (64-bit elements), every addition would convert them, and GCC 12 then
// copies each sum to another register and to the stack on every line.
typedef std::uint32_t Uint32x16 __attribute__((vector_size(64)));

// A line: its bytes' magnitudes, and which of them are negative.
struct SignedLine {
  __m512i magnitudes;
  __mmask64 negative;
};

struct Avx512Bw {
  using Line = SignedLine;
  using Query = __m512i;
  using Sums = Uint32x16;
  static constexpr std::size_t parts = 1;
  static constexpr std::size_t blocks_at_once = 4;  // four streams, as the float kernels keep (bench/NOTES.md)
  static constexpr std::size_t group_size = 8;  // the most a group holds; from 4 queries on, at the multiplies' rate
  // 8 queries x 2 blocks: 16 sums, 2 lines and their masks, ones, a
  // broadcast, its signed copy and a product, 22 of 32 registers.
  static constexpr std::size_t tile_blocks(std::size_t queries) { return queries > 4 ? 2 : queries > 2 ? 4 : 6; }
  static Line line(const std::int8_t* p) {
    const __m512i x = _mm512_load_si512(p);
    return {_mm512_abs_epi8(x), _mm512_movepi8_mask(x)};
  }
  static Query query(const std::int8_t* four) { return _mm512_set1_epi32(four_elements(four)); }
  static Sums zero() { return Sums{}; }
  static Sums add(Sums sums, const Line& x, Query q) {
    const __m512i signed_q = _mm512_mask_sub_epi8(q, x.negative, _mm512_setzero_si512(), q);
    return sums + (Sums)_mm512_madd_epi16(_mm512_maddubs_epi16(x.magnitudes, signed_q), _mm512_set1_epi16(1));
  }
  static constexpr auto next_reaching = next_reaching_with<16, avx512_reaching_bits>;
  static void store(std::int32_t* out, Sums sums, std::int32_t) { _mm512_storeu_si512(out, (__m512i)sums); }
};

}  // namespace

const Int8Kernels avx512_int8 = int8_kernels_of<Avx512Bw>();

}  // namespace tessaly::kernels

#pragma GCC diagnostic pop
#pragma GCC pop_options
