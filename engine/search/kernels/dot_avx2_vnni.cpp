// The first pass on AVX-VNNI: half a line per register, eight lanes of one
// entry's four elements, and vpdpbusd adds a lane's four products to its sum
// in one instruction. It takes the line's bytes as unsigned, so each line is
// made x~ + 128 once (an exclusive or with 0x80) for all the queries, and
// the query's bias comes off at the end (the sums may wrap modulo 2^32 on
// the way, and the subtraction leaves the exact result). Compiled for AVX2
// and AVX-VNNI by a pragma placed after every other include, not by a flag.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "engine/search/int8_kernels.hpp"
#include "engine/store/block_chunks.hpp"
#include "engine/store/int8_copy.hpp"

#pragma GCC push_options
#pragma GCC target("avx2,avxvnni")

#include "engine/search/kernels/int8_lanes.hpp"

namespace tessaly::kernels {
namespace {

// The sums as 32-bit elements, unsigned so that they wrap: held as __m256i
// (64-bit elements), every addition would convert them, and GCC 12 then
// copies each sum to another register and to the stack on every line.
typedef std::uint32_t Uint32x8 __attribute__((vector_size(32)));

struct Avx2Vnni {
  using Line = __m256i;
  using Query = __m256i;
  using Sums = Uint32x8;
  static constexpr std::size_t parts = 2;
  static constexpr std::size_t blocks_at_once = 4;  // four streams, as the float kernels keep (bench/NOTES.md)
  // 6 queries x 1 block: 12 sums, 2 line registers, the 0x80 bytes and a
  // broadcast fill the 16 registers; more queries or blocks spill.
  static constexpr std::size_t group_size = 6;
  static constexpr std::size_t tile_blocks(std::size_t queries) { return queries > 3 ? 1 : queries > 1 ? 2 : 4; }
  static Line line(const std::int8_t* p) {
    return _mm256_xor_si256(_mm256_load_si256(reinterpret_cast<const __m256i*>(p)),
                            _mm256_set1_epi32(static_cast<int>(0x80808080u)));
  }
  static Query query(const std::int8_t* four) { return _mm256_set1_epi32(four_elements(four)); }
  static Sums zero() { return Sums{}; }
  static Sums add(Sums sums, Line x, Query q) { return (Sums)_mm256_dpbusd_avx_epi32((__m256i)sums, x, q); }
  static constexpr auto next_reaching = next_reaching_with<8, avx2_reaching_bits>;
  static void store(std::int32_t* out, Sums sums, std::int32_t bias) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), (__m256i)(sums - static_cast<std::uint32_t>(bias)));
  }
};

}  // namespace

const Int8Kernels avx2_vnni_int8 = int8_kernels_of<Avx2Vnni>();

}  // namespace tessaly::kernels

#pragma GCC pop_options
