// The portable selection kernels, and the choice among them.
#include "engine/search/selection_kernels.hpp"

#include <algorithm>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/runtime/kernel_path.hpp"

namespace tessaly {
namespace kernels {
namespace {

std::uint64_t run_masks(const float* scores, std::size_t runs, float threshold, std::uint16_t* masks) noexcept {
  const bool number = threshold == threshold;
  std::uint64_t won = 0;
  for (std::size_t r = 0; r < runs; ++r) {
    const float* run = scores + r * kRunScores;
    std::uint32_t mask = 0;
#if defined(__SSE2__)
    const __m128 bound = _mm_set1_ps(threshold);
    for (std::size_t part = 0; part < kRunScores; part += 4) {
      const __m128 four = _mm_loadu_ps(run + part);
      const __m128 beats = number ? _mm_cmpgt_ps(four, bound) : _mm_cmpord_ps(four, four);
      mask |= static_cast<std::uint32_t>(_mm_movemask_ps(beats)) << part;
    }
#else
    for (std::size_t j = 0; j < kRunScores; ++j) {
      mask |= static_cast<std::uint32_t>(number ? run[j] > threshold : run[j] == run[j]) << j;
    }
#endif
    masks[r] = static_cast<std::uint16_t>(mask);
    won |= static_cast<std::uint64_t>(mask != 0) << r;
  }
  return won;
}

// A quickselect whose partitions move every key unconditionally, so that no
// branch depends on the keys' values (a comparison sort mispredicts about
// every other branch on random scores).
NthKey nth_smallest(std::uint32_t* keys, std::uint32_t*, std::size_t n, std::size_t k) noexcept {
  std::size_t low = 0;  // every key before low is smaller than every key from it
  std::size_t high = n;
  while (high - low > 24) {
    const std::uint32_t a = keys[low], b = keys[low + (high - low) / 2], c = keys[high - 1];
    const std::uint32_t pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
    std::size_t less = low;
    for (std::size_t j = low; j < high; ++j) {
      const std::uint32_t key = keys[j];
      keys[j] = keys[less];
      keys[less] = key;
      less += key < pivot;
    }
    if (k < less) {
      high = less;
      continue;
    }
    std::size_t equal = less;  // then the pivot's equals, after the smaller ones
    for (std::size_t j = less; j < high; ++j) {
      const std::uint32_t key = keys[j];
      keys[j] = keys[equal];
      keys[equal] = key;
      equal += key == pivot;
    }
    if (k < equal) return {pivot, less};
    low = equal;
  }
  return nth_among_few(keys, low, high, k);
}

std::size_t append_run(const float* run, std::uint32_t mask, std::size_t first, std::uint32_t* keys,
                       float* scores, std::size_t* entries) noexcept {
  std::size_t added = 0;
  for (; mask != 0; mask &= mask - 1, ++added) {
    const auto j = static_cast<std::size_t>(std::countr_zero(mask));
    keys[added] = rank_key(run[j]);
    scores[added] = run[j];
    entries[added] = first + j;
  }
  return added;
}

std::size_t keep_below(std::uint32_t key, std::size_t ties, std::uint32_t* keys, float* scores,
                       std::size_t* entries, std::size_t n, std::size_t& last_tie) noexcept {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t candidate = keys[i];
    const bool tie = (candidate == key) & (ties != 0);
    ties -= tie;
    last_tie = tie ? kept : last_tie;
    keys[kept] = candidate;
    scores[kept] = scores[i];
    entries[kept] = entries[i];
    kept += (candidate < key) | tie;
  }
  return kept;
}

}  // namespace

const SelectionKernels portable_selection = {run_masks, nth_smallest, append_run, keep_below};

}  // namespace kernels

NthKey nth_among_few(std::uint32_t* keys, std::size_t low, std::size_t high, std::size_t k) noexcept {
  std::sort(keys + low, keys + high);
  const std::uint32_t key = keys[k];
  return {key, static_cast<std::size_t>(std::lower_bound(keys + low, keys + k, key) - keys)};
}

const SelectionKernels& selection_kernels() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  // AVX-512F is all the selection needs; VNNI adds nothing to it.
  const KernelPath best = best_kernel_path();
  if (best == KernelPath::avx512 || best == KernelPath::avx512_vnni) return kernels::avx512_selection;
#endif
  return kernels::portable_selection;
}

}  // namespace tessaly
