// The first pass on AVX-512 VNNI: a 64-byte line is one register, sixteen
// lanes of one entry's four elements, and vpdpbusd adds a lane's four
// products to its sum in one instruction. It takes the line's bytes as
// unsigned, so each line is made x~ + 128 once (an exclusive or with 0x80)
// for all the queries, and the query's bias comes off at the end; the
// non-saturating sums may wrap modulo 2^32 on the way (at most 255 * 127 * d
// in magnitude), and the exact result, within 32 bits, is what the
// subtraction leaves. Compiled for AVX-512F and VNNI by pragmas placed after
// every other include, not by a flag.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "engine/search/int8_kernels.hpp"
#include "engine/store/block_chunks.hpp"
#include "engine/store/int8_copy.hpp"

#include "engine/search/kernels/avx512_target.hpp"  // from here on, AVX-512 code
#pragma GCC target("avx512vnni")

#include "engine/search/kernels/int8_lanes.hpp"

namespace tessaly::kernels {
namespace {

// The sums as 32-bit elements, unsigned so that they wrap: held as __m512i
// (64-bit elements), every addition would convert them, and GCC 12 then
// copies each sum to another register and to the stack on every line.
typedef std::uint32_t Uint32x16 __attribute__((vector_size(64)));

struct Avx512Vnni {
  using Line = __m512i;
  using Query = __m512i;
  using Sums = Uint32x16;
  static constexpr std::size_t parts = 1;
  static constexpr std::size_t blocks_at_once = 4;  // four streams, as the float kernels keep (bench/NOTES.md)
  static constexpr std::size_t group_size = 8;  // the most a group holds
  // 8 queries x 2 blocks: 16 sums, 2 lines, the 0x80 bytes and a broadcast,
  // 20 of 32 registers (its rate: bench/NOTES.md).
  static constexpr std::size_t tile_blocks(std::size_t queries) { return queries > 4 ? 2 : queries > 2 ? 4 : 8; }
  static Line line(const std::int8_t* p) {
    return _mm512_xor_si512(_mm512_load_si512(p), _mm512_set1_epi32(static_cast<int>(0x80808080u)));
  }
  static Query query(const std::int8_t* four) { return _mm512_set1_epi32(four_elements(four)); }
  static Sums zero() { return Sums{}; }
  static Sums add(Sums sums, Line x, Query q) { return (Sums)_mm512_dpbusd_epi32((__m512i)sums, x, q); }
  static constexpr auto next_reaching = next_reaching_with<16, avx512_reaching_bits>;
  static void store(std::int32_t* out, Sums sums, std::int32_t bias) {
    _mm512_storeu_si512(out, (__m512i)(sums - static_cast<std::uint32_t>(bias)));
  }
};

}  // namespace

const Int8Kernels avx512_vnni_int8 = int8_kernels_of<Avx512Vnni>();

}  // namespace tessaly::kernels

#pragma GCC diagnostic pop
#pragma GCC pop_options
