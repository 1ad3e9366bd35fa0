// The parts of selection that vector instructions speed up, for the
// processor at hand: which scores of a run beat a threshold, and the k-th
// smallest of a buffer's keys. They only compare and move values, so every
// version gives the same answer.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace tessaly {

// A run is 16 scores.
inline constexpr std::size_t kRunScores = 16;

// Ascending key for descending scores: the bit pattern made monotonic, then
// inverted. -0.0 shares +0.0's key; every NaN gets the largest key.
inline std::uint32_t rank_key(float score) noexcept {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(score == 0.0f ? 0.0f : score);
  const std::uint32_t negative = static_cast<std::uint32_t>(static_cast<std::int32_t>(bits) >> 31);
  const std::uint32_t key = bits ^ ~(negative | 0x80000000u);
  return score != score ? UINT32_MAX : key;
}

// The k-th smallest key and how many keys are smaller.
struct NthKey {
  std::uint32_t key;
  std::size_t below;
};

struct SelectionKernels {
  // masks[r]: bit j set when scores[16r + j] beats `threshold`, that is is
  // greater (against a NaN threshold: is a number); for `runs` whole runs,
  // at most 64. Returns which runs have a winner (bit r for run r).
  std::uint64_t (*run_masks)(const float* scores, std::size_t runs, float threshold,
                             std::uint16_t* masks) noexcept;
  // The k-th smallest (from 0) of n keys; reorders keys[0 .. n) and uses
  // spare[0 .. 2n + 32) as it likes.
  NthKey (*nth_smallest)(std::uint32_t* keys, std::uint32_t* spare, std::size_t n, std::size_t k) noexcept;
  // Appends the scores of a run that `mask` marks (bit j: run[j], of entry
  // first + j, read only where set): their keys, the scores and the entries
  // go to keys, scores and entries, in order. Returns how many; it may
  // write up to 16 places in each.
  std::size_t (*append_run)(const float* run, std::uint32_t mask, std::size_t first, std::uint32_t* keys,
                            float* scores, std::size_t* entries) noexcept;
  // Keeps, in place and in order, the n candidates' whose key is below `key`
  // and the first `ties` whose key equals it. Returns how many are kept, and
  // in `last_tie` the place of the last of those ties (if any); it may write
  // up to 16 places past n.
  std::size_t (*keep_below)(std::uint32_t key, std::size_t ties, std::uint32_t* keys, float* scores,
                            std::size_t* entries, std::size_t n, std::size_t& last_tie) noexcept;
};

// The end of every version's search: the k-th smallest key, when it lies
// among the few keys[low .. high) and every key before low is smaller.
NthKey nth_among_few(std::uint32_t* keys, std::size_t low, std::size_t high, std::size_t k) noexcept;

// The widest this processor runs.
const SelectionKernels& selection_kernels() noexcept;

namespace kernels {
extern const SelectionKernels portable_selection;
#if defined(__x86_64__) || defined(__i386__)
extern const SelectionKernels avx512_selection;
#endif
}  // namespace kernels

}  // namespace tessaly
