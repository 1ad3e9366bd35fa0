// The first pass on AVX2: half a line per register, eight lanes of one
// entry's four elements. vpmaddubsw multiplies the magnitudes of the line's
// bytes, |x~| (vpabsb, once per line for all the queries), by the query's
// bytes given x~'s signs (vpsignb, which also zeroes them where x~ is 0)
// and adds them in pairs (at most 2 * 127 * 127 = 32258, so never
// saturated); vpmaddwd by ones adds the pairs of a lane into 32 bits. Both
// sides keep their signs: no bias. Compiled for AVX2 by a pragma placed
// after every other include, not by a flag.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "engine/search/int8_kernels.hpp"
#include "engine/store/block_chunks.hpp"
#include "engine/store/int8_copy.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

#include "engine/search/kernels/int8_lanes.hpp"

namespace tessaly::kernels {
namespace {

// The sums as 32-bit elements, unsigned so that they wrap: held as __m256i
// (64-bit elements), every addition would convert them, and GCC 12 then
// copies each sum to another register and to the stack on every line.
typedef std::uint32_t Uint32x8 __attribute__((vector_size(32)));

// Half a line: its bytes' magnitudes, and the bytes whose signs the query's
// take.
struct SignedLine {
  __m256i magnitudes, signs;
};

struct Avx2 {
  using Line = SignedLine;
  using Query = __m256i;
  using Sums = Uint32x8;
  static constexpr std::size_t parts = 2;
  static constexpr std::size_t blocks_at_once = 4;  // four streams: 0.95-1.01 of a plain read, two 1.03-1.12
  // 4 queries x 1 block: 8 sums, 4 registers of the line, ones, a broadcast
  // and its signed copy, 15 of 16 registers; from 2 queries on the
  // multiplies are the limit, so more queries only spill.
  static constexpr std::size_t group_size = 4;
  static constexpr std::size_t tile_blocks(std::size_t queries) { return queries > 2 ? 1 : queries > 1 ? 2 : 3; }
  static Line line(const std::int8_t* p) {
    const __m256i x = _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
    return {_mm256_abs_epi8(x), x};
  }
  static Query query(const std::int8_t* four) { return _mm256_set1_epi32(four_elements(four)); }
  static Sums zero() { return Sums{}; }
  static Sums add(Sums sums, const Line& x, Query q) {
    return sums + (Sums)_mm256_madd_epi16(_mm256_maddubs_epi16(x.magnitudes, _mm256_sign_epi8(q, x.signs)),
                                          _mm256_set1_epi16(1));
  }
  static constexpr auto next_reaching = next_reaching_with<8, avx2_reaching_bits>;
  static void store(std::int32_t* out, Sums sums, std::int32_t) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), (__m256i)sums);
  }
};

}  // namespace

const Int8Kernels avx2_int8 = int8_kernels_of<Avx2>();

}  // namespace tessaly::kernels

#pragma GCC pop_options
