// Selection with AVX-512: a run's 16 scores compared in one instruction,
// and keys partitioned sixteen at a time by compressing them apart. Built
// for AVX-512F by a pragma placed after every other include, as the block
// kernels are; nothing here instantiates library templates, which the
// linker could otherwise share with code for other processors.
#include <immintrin.h>

#include <cstring>

#include "engine/search/selection_kernels.hpp"

#include "engine/search/kernels/avx512_target.hpp"  // from here on, AVX-512 code

namespace tessaly::kernels {
namespace {

std::uint64_t run_masks(const float* scores, std::size_t runs, float threshold, std::uint16_t* masks) noexcept {
  const __m512 bound = _mm512_set1_ps(threshold);
  const bool number = threshold == threshold;
  std::uint64_t won = 0;
  for (std::size_t r = 0; r < runs; ++r) {
    const __m512 run = _mm512_loadu_ps(scores + r * kRunScores);
    const __mmask16 mask = number ? _mm512_cmp_ps_mask(run, bound, _CMP_GT_OQ) : _mm512_cmp_ps_mask(run, run, _CMP_ORD_Q);
    masks[r] = mask;
    won |= static_cast<std::uint64_t>(mask != 0) << r;
  }
  return won;
}

// Each step sends the keys below the pivot to one spare area and those
// above to another, sixteen at a time, then goes on in the side that holds
// the k-th (the pivot's equals, between them, end it).
NthKey nth_smallest(std::uint32_t* keys, std::uint32_t* spare, std::size_t n, std::size_t k) noexcept {
  std::uint32_t* const smaller = spare;
  std::uint32_t* const larger = spare + n + 16;
  std::size_t low = 0;  // every key before low is smaller than every key from it
  std::size_t high = n;
  while (high - low > 32) {
    const std::uint32_t a = keys[low], b = keys[low + (high - low) / 2], c = keys[high - 1];
    const std::uint32_t low_pair = a < b ? a : b, high_pair = a < b ? b : a;
    const std::uint32_t median = low_pair > (high_pair < c ? high_pair : c) ? low_pair : (high_pair < c ? high_pair : c);
    const __m512i pivot = _mm512_set1_epi32(static_cast<int>(median));
    std::size_t below = 0;
    std::size_t above = 0;
    for (std::size_t j = low; j < high; j += 16) {
      const __mmask16 valid = high - j >= 16 ? 0xFFFF : static_cast<__mmask16>((1u << (high - j)) - 1);
      const __m512i sixteen = _mm512_maskz_loadu_epi32(valid, keys + j);
      const __mmask16 less = _mm512_mask_cmplt_epu32_mask(valid, sixteen, pivot);
      const __mmask16 more = _mm512_mask_cmpgt_epu32_mask(valid, sixteen, pivot);
      _mm512_storeu_si512(smaller + below, _mm512_maskz_compress_epi32(less, sixteen));
      _mm512_storeu_si512(larger + above, _mm512_maskz_compress_epi32(more, sixteen));
      below += static_cast<std::size_t>(__builtin_popcount(less));
      above += static_cast<std::size_t>(__builtin_popcount(more));
    }
    const std::size_t equal = high - low - below - above;
    if (k < low + below) {
      std::memcpy(keys + low, smaller, below * sizeof(std::uint32_t));
      high = low + below;
    } else if (k < low + below + equal) {
      return {median, low + below};
    } else {
      low += below + equal;
      std::memcpy(keys + low, larger, above * sizeof(std::uint32_t));
    }
  }
  // The last few (at most 32, in two registers): the k-th is the key with
  // fewer than k - low keys below it and at least that many not above it.
  const std::size_t rest = high - low;
  const __mmask16 first_valid = rest >= 16 ? 0xFFFF : static_cast<__mmask16>((1u << rest) - 1);
  const __mmask16 second_valid = rest > 16 ? static_cast<__mmask16>((1u << (rest - 16)) - 1) : 0;
  const __m512i first_keys = _mm512_maskz_loadu_epi32(first_valid, keys + low);
  const __m512i second_keys = _mm512_maskz_loadu_epi32(second_valid, keys + low + 16);
  const std::size_t wanted = k - low;
  for (std::size_t i = low; i < high; ++i) {
    const __m512i key = _mm512_set1_epi32(static_cast<int>(keys[i]));
    const std::size_t less =
        static_cast<std::size_t>(__builtin_popcount(_mm512_mask_cmplt_epu32_mask(first_valid, first_keys, key)) +
                                 __builtin_popcount(_mm512_mask_cmplt_epu32_mask(second_valid, second_keys, key)));
    const std::size_t most =
        static_cast<std::size_t>(__builtin_popcount(_mm512_mask_cmple_epu32_mask(first_valid, first_keys, key)) +
                                 __builtin_popcount(_mm512_mask_cmple_epu32_mask(second_valid, second_keys, key)));
    if (less <= wanted && wanted < most) return {keys[i], low + less};
  }
  return nth_among_few(keys, low, high, k);  // not reached: some key is the k-th
}

// rank_key of sixteen scores.
__m512i rank_keys(__m512 scores) noexcept {
  const __mmask16 zero = _mm512_cmp_ps_mask(scores, _mm512_setzero_ps(), _CMP_EQ_OQ);
  const __mmask16 nan = _mm512_cmp_ps_mask(scores, scores, _CMP_UNORD_Q);
  const __m512i bits = _mm512_maskz_mov_epi32(static_cast<__mmask16>(~zero), _mm512_castps_si512(scores));
  const __m512i negative = _mm512_srai_epi32(bits, 31);
  const __m512i key = _mm512_xor_si512(bits, _mm512_andnot_si512(negative, _mm512_set1_epi32(0x7FFFFFFF)));
  return _mm512_mask_mov_epi32(key, nan, _mm512_set1_epi32(-1));
}

// Stores the entries of `base` + the lanes that `mask` marks, in order, at
// `out`: sixteen lanes make two registers of 64-bit entries, or one of 32.
void store_entries(__mmask16 mask, __m512i first_lanes, __m512i second_lanes, std::size_t* out) noexcept {
  if constexpr (sizeof(std::size_t) == 8) {
    const auto low = static_cast<__mmask8>(mask & 0xFF);
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi64(low, first_lanes));
    _mm512_storeu_si512(out + __builtin_popcount(low), _mm512_maskz_compress_epi64(static_cast<__mmask8>(mask >> 8), second_lanes));
  } else {
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi32(mask, first_lanes));
  }
}

std::size_t append_run(const float* run, std::uint32_t mask, std::size_t first, std::uint32_t* keys,
                       float* scores, std::size_t* entries) noexcept {
  const auto lanes = static_cast<__mmask16>(mask);
  const __m512 sixteen = _mm512_maskz_loadu_ps(lanes, run);
  _mm512_storeu_si512(keys, _mm512_maskz_compress_epi32(lanes, rank_keys(sixteen)));
  _mm512_storeu_ps(scores, _mm512_maskz_compress_ps(lanes, sixteen));
  if constexpr (sizeof(std::size_t) == 8) {
    const __m512i base = _mm512_set1_epi64(static_cast<long long>(first));
    store_entries(lanes, _mm512_add_epi64(base, _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7)),
                  _mm512_add_epi64(base, _mm512_setr_epi64(8, 9, 10, 11, 12, 13, 14, 15)), entries);
  } else {
    const __m512i base = _mm512_set1_epi32(static_cast<int>(first));
    store_entries(lanes, _mm512_add_epi32(base, _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)),
                  base, entries);
  }
  return static_cast<std::size_t>(__builtin_popcount(mask));
}

// Sixteen candidates at a time; the rare stretch with more ties than are
// kept drops the later ones bit by bit.
std::size_t keep_below(std::uint32_t key, std::size_t ties, std::uint32_t* keys, float* scores,
                       std::size_t* entries, std::size_t n, std::size_t& last_tie) noexcept {
  const __m512i bound = _mm512_set1_epi32(static_cast<int>(key));
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; i += 16) {
    const __mmask16 valid = n - i >= 16 ? 0xFFFF : static_cast<__mmask16>((1u << (n - i)) - 1);
    const __m512i sixteen = _mm512_maskz_loadu_epi32(valid, keys + i);
    const __m512 their_scores = _mm512_maskz_loadu_ps(valid, scores + i);
    __m512i first_entries, second_entries;
    if constexpr (sizeof(std::size_t) == 8) {
      first_entries = _mm512_maskz_loadu_epi64(static_cast<__mmask8>(valid & 0xFF), entries + i);
      second_entries = _mm512_maskz_loadu_epi64(static_cast<__mmask8>(valid >> 8), entries + i + 8);
    } else {
      first_entries = _mm512_maskz_loadu_epi32(valid, entries + i);
      second_entries = first_entries;
    }
    unsigned equal = _mm512_mask_cmpeq_epu32_mask(valid, sixteen, bound);
    while (static_cast<std::size_t>(__builtin_popcount(equal)) > ties) equal &= ~(0x80000000u >> __builtin_clz(equal));
    const auto keep = static_cast<__mmask16>(_mm512_mask_cmplt_epu32_mask(valid, sixteen, bound) | equal);
    if (equal != 0) {
      const unsigned through_last = (0xFFFFFFFFu >> __builtin_clz(equal));
      last_tie = kept + static_cast<std::size_t>(__builtin_popcount(keep & through_last)) - 1;
      ties -= static_cast<std::size_t>(__builtin_popcount(equal));
    }
    _mm512_storeu_si512(keys + kept, _mm512_maskz_compress_epi32(keep, sixteen));
    _mm512_storeu_ps(scores + kept, _mm512_maskz_compress_ps(keep, their_scores));
    store_entries(keep, first_entries, second_entries, entries + kept);
    kept += static_cast<std::size_t>(__builtin_popcount(keep));
  }
  return kept;
}

}  // namespace

const SelectionKernels avx512_selection = {run_masks, nth_smallest, append_run, keep_below};

}  // namespace tessaly::kernels

#pragma GCC diagnostic pop
#pragma GCC pop_options
