#include "engine/ranking.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/block_kernels.hpp"
#include "engine/float_environment.hpp"

namespace tessaly {
namespace {

constexpr std::size_t kRun = 16;  // scores tested at once

// Ascending key for descending scores: the bit pattern made monotonic, then
// inverted. -0.0 shares +0.0's key; every NaN gets the largest key. No
// branches: winners of a run are appended without a test per score.
std::uint32_t rank_key(float score) noexcept {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(score == 0.0f ? 0.0f : score);
  const std::uint32_t negative = static_cast<std::uint32_t>(static_cast<std::int32_t>(bits) >> 31);
  const std::uint32_t key = bits ^ ~(negative | 0x80000000u);
  return score != score ? UINT32_MAX : key;
}

// Which of a run's scores may enter a selection whose worst kept score is
// `threshold` and comes earlier: only a strictly greater score (against a
// NaN threshold, any number). One bit per score, computed without branches.
std::uint32_t winners(const float* run, std::size_t count, float threshold) noexcept {
  std::uint32_t mask = 0;
#if defined(__SSE2__)
  if (count == kRun) {  // four comparisons of four lanes
    const __m128 bound = _mm_set1_ps(threshold);
    const bool number = threshold == threshold;
    for (std::size_t part = 0; part < kRun; part += 4) {
      const __m128 scores = _mm_loadu_ps(run + part);
      const __m128 won = number ? _mm_cmpgt_ps(scores, bound) : _mm_cmpord_ps(scores, scores);
      mask |= static_cast<std::uint32_t>(_mm_movemask_ps(won)) << part;
    }
    return mask;
  }
#endif
  if (threshold == threshold) {
    for (std::size_t k = 0; k < count; ++k) mask |= static_cast<std::uint32_t>(run[k] > threshold) << k;
  } else {
    for (std::size_t k = 0; k < count; ++k) mask |= static_cast<std::uint32_t>(run[k] == run[k]) << k;
  }
  return mask;
}

// The k-th smallest (from 0) of n keys, and how many keys are smaller,
// reordering them: a quickselect whose partitions move every key
// unconditionally, so that no branch depends on the keys' values.
struct NthKey {
  std::uint32_t key;
  std::size_t below;
};
NthKey nth_smallest(std::uint32_t* keys, std::size_t n, std::size_t k) noexcept {
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
  std::sort(keys + low, keys + high);
  const std::uint32_t key = keys[k];
  return {key, static_cast<std::size_t>(std::lower_bound(keys + low, keys + k, key) - keys)};
}

// Blocks scored per kernel call: their scores (4 KiB) stay in L1 for the
// selection.
constexpr std::size_t kRunBlocks = 64;

}  // namespace

EngineResult<TopSelection> TopSelection::make(std::size_t top_k, std::size_t candidates,
                                              SelectionKeys& keys) noexcept {
  TopSelection selection(top_k, keys);
  if (top_k == 0) return selection;
  // Room for a whole run beyond the kept top_k, so that a run's winners are
  // appended without a check per score.
  const std::size_t room = std::min(top_k > (SIZE_MAX - kRun) / 3 ? SIZE_MAX : 3 * top_k + kRun,
                                    candidates > SIZE_MAX - kRun ? SIZE_MAX : candidates + kRun);
  if (!selection.buffer_.try_reserve(room) || !keys.try_reserve(room)) {
    return EngineError::out_of_memory();
  }
  return selection;
}

void TopSelection::append(const Candidate& candidate) noexcept {
  if (buffer_.size() == buffer_.capacity()) keep_best();
  if (buffer_.size() != 0 && !(buffer_.back().entry < candidate.entry)) in_order_ = false;
  buffer_.push_back_reserved(candidate);  // keep_best left room
}

void TopSelection::offer(float score, std::size_t entry) noexcept {
  const Candidate candidate{rank_key(score), score, entry};
  if (top_k_ == 0 || (limited_ && !(candidate < threshold_))) return;
  append(candidate);
}

void TopSelection::offer(std::span<const ScoredEntry> scored) noexcept {
  for (const ScoredEntry& item : scored) offer(item.score, item.entry);
}

void TopSelection::offer_in_order(const float* scores, std::size_t first, std::size_t count) noexcept {
  if (top_k_ == 0 || count == 0) return;
  if (buffer_.size() != 0 && !(buffer_.back().entry < first)) in_order_ = false;
  for (std::size_t j = 0; j < count; j += kRun) {
    const float* run = scores + j;
    const std::size_t n = std::min(kRun, count - j);
    // Before the buffer first fills, every score enters; after, most runs
    // fall short of the threshold, and the few winners are visited by bit.
    std::uint32_t mask = static_cast<std::uint32_t>((std::uint64_t{1} << n) - 1);
    if (limited_) {
      mask &= winners(run, n, threshold_.score);
      if (mask == 0) continue;
    }
    if (buffer_.capacity() - buffer_.size() < n) keep_best();
    Candidate* end = buffer_.end();
    std::size_t added = 0;
    for (; mask != 0; mask &= mask - 1) {
      const std::size_t k = static_cast<std::size_t>(std::countr_zero(mask));
      end[added++] = Candidate{rank_key(run[k]), run[k], first + j + k};
    }
    buffer_.set_size_reserved(buffer_.size() + added);
  }
}

void TopSelection::keep_best() noexcept {
  if (buffer_.size() <= top_k_) return;
  SelectionKeys& keys = *keys_;
  keys.clear();
  for (const Candidate& candidate : buffer_) keys.push_back_reserved(candidate.key);
  const NthKey nth = nth_smallest(keys.data(), keys.size(), top_k_ - 1);
  if (in_order_) {
    keep_first_with_keys_below(nth.key, top_k_ - nth.below);
  } else {  // ties must be settled by insertion order, which the buffer lost
    std::nth_element(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(top_k_ - 1), buffer_.end());
    buffer_.truncate(top_k_);
    threshold_ = *std::max_element(buffer_.begin(), buffer_.end());
  }
  limited_ = true;
}

// Keeps, in order, every candidate whose key is below `key` and the first
// `ties` whose key equals it; the last of those becomes the threshold.
void TopSelection::keep_first_with_keys_below(std::uint32_t key, std::size_t ties) noexcept {
  std::size_t kept = 0;
  std::size_t last_tie = 0;
  for (std::size_t i = 0; i < buffer_.size(); ++i) {
    const Candidate candidate = buffer_[i];
    const bool tie = (candidate.key == key) & (ties != 0);
    ties -= tie;
    last_tie = tie ? kept : last_tie;
    buffer_[kept] = candidate;
    kept += (candidate.key < key) | tie;
  }
  buffer_.truncate(kept);
  threshold_ = buffer_[last_tie];
}

void TopSelection::reset() noexcept {
  buffer_.clear();
  limited_ = false;
  in_order_ = true;
}

std::size_t TopSelection::size() noexcept {
  keep_best();
  return buffer_.size();
}

// Sorts the kept candidates by key, ties in buffer order. Eight bits a
// pass, least significant first, through the buffer's spare room (at least
// as large as what it keeps); a pass whose digit is the same throughout is
// skipped.
void TopSelection::sort_kept() noexcept {
  const std::size_t n = buffer_.size();
  if (!in_order_ || n <= 32 || buffer_.capacity() - n < n) {
    std::sort(buffer_.begin(), buffer_.end());
    return;
  }
  Candidate* from = buffer_.data();
  Candidate* to = from + n;
  for (unsigned shift = 0; shift < 32; shift += 8) {
    std::size_t starts[256] = {};
    for (std::size_t i = 0; i < n; ++i) ++starts[(from[i].key >> shift) & 255];
    if (starts[(from[0].key >> shift) & 255] == n) continue;
    std::size_t position = 0;
    for (std::size_t& start : starts) position += std::exchange(start, position);
    for (std::size_t i = 0; i < n; ++i) to[starts[(from[i].key >> shift) & 255]++] = from[i];
    std::swap(from, to);
  }
  if (from != buffer_.data()) std::copy(from, from + n, buffer_.data());
}

void TopSelection::rank_into(ScoredEntry* out) noexcept {
  keep_best();
  sort_kept();
  for (const Candidate& candidate : buffer_) *out++ = {candidate.score, candidate.entry};
}

EngineResult<Array<ScoredEntry>> TopSelection::ranked() && noexcept {
  Array<ScoredEntry> list;
  if (!list.try_reserve(size())) return EngineError::out_of_memory();
  list.set_size_reserved(size());
  rank_into(list.data());
  return list;
}

EngineResult<Array<ScoredEntry>> select_top(const Vectorstore& store, std::span<const float> query,
                                            std::size_t top_k, std::size_t first, std::size_t last,
                                            KernelPath path) noexcept {
  if (top_k == 0 || first >= last) return Array<ScoredEntry>();
  SelectionKeys keys;
  TRY_ASSIGN(TopSelection selection, TopSelection::make(top_k, last - first, keys));
  const FloatEnvironment environment;
  const QueryTerms terms(query);
  const BlockKernels& kernels = block_kernels(path);
  float scores[kRunBlocks * kBlockLanes];
  store.blocks().for_each_run_of_entries(first, last, kRunBlocks,
                                         [&](const float* blocks, std::size_t count, Blocks::Entries entries) {
    kernels.score(terms, blocks, count, scores);
    selection.offer_in_order(scores + entries.lane, entries.first, entries.count);
  });
  return std::move(selection).ranked();
}

EngineResult<Array<ResultPair>> to_result_pairs(std::span<const ScoredEntry> list,
                                                std::span<const std::uint64_t> ids) noexcept {
  Array<ResultPair> pairs;
  if (!pairs.try_reserve(list.size())) return EngineError::out_of_memory();
  for (const ScoredEntry& scored : list) pairs.push_back_reserved({scored.score, ids[scored.entry]});
  return pairs;
}

}  // namespace tessaly
