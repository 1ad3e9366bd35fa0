#include "engine/top_selection.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "engine/selection_kernels.hpp"

namespace tessaly {
namespace {

constexpr std::size_t kRun = kRunScores;

// Ascending key for descending scores: the bit pattern made monotonic, then
// inverted. -0.0 shares +0.0's key; every NaN gets the largest key. No
// branches: winners of a run are appended without a test per score.
std::uint32_t rank_key(float score) noexcept {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(score == 0.0f ? 0.0f : score);
  const std::uint32_t negative = static_cast<std::uint32_t>(static_cast<std::int32_t>(bits) >> 31);
  const std::uint32_t key = bits ^ ~(negative | 0x80000000u);
  return score != score ? UINT32_MAX : key;
}

// Which of a run's `count` scores (fewer than 16) may enter a selection
// whose worst kept score is `threshold` and comes earlier: only a strictly
// greater score (against a NaN threshold, any number).
std::uint32_t winners(const float* run, std::size_t count, float threshold) noexcept {
  std::uint32_t mask = 0;
  for (std::size_t k = 0; k < count; ++k) {
    mask |= static_cast<std::uint32_t>(threshold == threshold ? run[k] > threshold : run[k] == run[k]) << k;
  }
  return mask;
}

}  // namespace

EngineResult<TopSelection> TopSelection::make(std::size_t top_k, std::size_t candidates,
                                              SelectionKeys& keys) noexcept {
  TopSelection selection(top_k, keys);
  if (top_k == 0) return selection;
  // Room for a whole run beyond the kept top_k, so that a run's winners are
  // appended without a check per score.
  const std::size_t room = std::min(top_k > (SIZE_MAX - kRun) / 3 ? SIZE_MAX : 3 * top_k + kRun,
                                    candidates > SIZE_MAX - kRun ? SIZE_MAX : candidates + kRun);
  // The keys take `room`, and nth_smallest twice as much again and a little.
  if (room > (SIZE_MAX - 64) / 3 || !selection.buffer_.try_reserve(room) || !keys.try_reserve(3 * room + 64)) {
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
  // Until the buffer first fills, every score enters.
  std::size_t start = 0;
  for (; start < count && !limited_; start += kRun) {
    const std::size_t n = std::min(kRun, count - start);
    append_run(scores + start, first + start, static_cast<std::uint32_t>((std::uint64_t{1} << n) - 1));
  }
  // Then most runs fall short of the threshold, and only those with a
  // winner are visited, each winner by its bit. Masks are made for a stretch
  // of runs at a time against the threshold at its start: a threshold raised
  // meanwhile only lets in a few candidates more.
  constexpr std::size_t kStretch = 64;
  std::uint16_t masks[kStretch];
  for (; start < count; start += kStretch * kRun) {
    const std::size_t scored = std::min(kStretch * kRun, count - start);
    std::uint64_t won = selection_kernels().run_masks(scores + start, scored / kRun, threshold_.score, masks);
    if (const std::size_t rest = scored % kRun) {  // a short last run
      const std::size_t last = scored / kRun;
      masks[last] = static_cast<std::uint16_t>(winners(scores + start + last * kRun, rest, threshold_.score));
      won |= static_cast<std::uint64_t>(masks[last] != 0) << last;
    }
    for (; won != 0; won &= won - 1) {
      const std::size_t r = static_cast<std::size_t>(std::countr_zero(won));
      append_run(scores + start + r * kRun, first + start + r * kRun, masks[r]);
    }
  }
}

// Appends the scores of a run that `mask` marks, of entries first onward.
void TopSelection::append_run(const float* run, std::size_t first, std::uint32_t mask) noexcept {
  if (buffer_.capacity() - buffer_.size() < kRun) keep_best();
  Candidate* end = buffer_.end();
  std::size_t added = 0;
  for (; mask != 0; mask &= mask - 1) {
    const std::size_t k = static_cast<std::size_t>(std::countr_zero(mask));
    end[added++] = Candidate{rank_key(run[k]), run[k], first + k};
  }
  buffer_.set_size_reserved(buffer_.size() + added);
}

void TopSelection::keep_best() noexcept {
  if (buffer_.size() <= top_k_) return;
  // The keys, then room for nth_smallest to work in (see make()).
  std::uint32_t* keys = keys_->data();
  for (std::size_t i = 0; i < buffer_.size(); ++i) keys[i] = buffer_[i].key;
  const NthKey nth = selection_kernels().nth_smallest(keys, keys + buffer_.size(), buffer_.size(), top_k_ - 1);
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

}  // namespace tessaly
