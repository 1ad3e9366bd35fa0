#include "engine/ranking.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "engine/block_kernels.hpp"
#include "engine/float_environment.hpp"

namespace tessaly {
namespace {

// Ascending key for descending scores: the bit pattern made monotonic, then
// inverted. -0.0 shares +0.0's key; every NaN gets the largest key.
std::uint32_t rank_key(float score) noexcept {
  if (score != score) return UINT32_MAX;
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(score == 0.0f ? 0.0f : score);
  const std::uint32_t ascending = (bits & 0x80000000u) ? ~bits : bits | 0x80000000u;
  return ~ascending;
}

// Whether any of 16 scores is greater than the threshold (is a number,
// against a NaN threshold): four comparisons of four lanes.
bool any_wins(const float* run, float threshold) noexcept {
  using Floats = float __attribute__((vector_size(16)));
  using Masks = int __attribute__((vector_size(16)));
  Masks any{};
  for (std::size_t part = 0; part < 16; part += 4) {
    Floats scores;
    std::memcpy(&scores, run + part, sizeof scores);
    any |= threshold == threshold ? scores > threshold : scores == scores;
  }
  return (any[0] | any[1] | any[2] | any[3]) != 0;
}

// Blocks scored per kernel call: their scores (4 KiB) stay in L1 for the
// selection.
constexpr std::size_t kRunBlocks = 64;

}  // namespace

EngineResult<TopSelection> TopSelection::make(std::size_t top_k, std::size_t candidates) noexcept {
  TopSelection selection(top_k);
  const std::size_t room = top_k > SIZE_MAX / 3 ? SIZE_MAX : 3 * top_k;
  if (!selection.buffer_.try_reserve(std::min(room, candidates))) return EngineError::out_of_memory();
  return selection;
}

void TopSelection::offer(float score, std::size_t entry) noexcept {
  const Candidate candidate{rank_key(score), score, entry};
  if (top_k_ == 0 || (limited_ && !(candidate < threshold_))) return;
  if (buffer_.size() == buffer_.capacity()) keep_best();
  buffer_.push_back_reserved(candidate);  // keep_best left room
}

void TopSelection::offer(std::span<const ScoredEntry> scored) noexcept {
  for (const ScoredEntry& item : scored) offer(item.score, item.entry);
}

void TopSelection::offer_in_order(const float* scores, std::size_t first, std::size_t count) noexcept {
  std::size_t j = 0;
  while (j < count && !limited_) offer(scores[j], first + j), ++j;
  // The threshold's entry comes earlier, so only a strictly greater score
  // can win (against a NaN threshold: any number). Most runs fall short and
  // are passed over in one vector comparison.
  auto wins = [](float score, float threshold) {
    return score > threshold || (threshold != threshold && score == score);
  };
  constexpr std::size_t kRun = 16;
  for (; j + kRun <= count; j += kRun) {
    const float* run = scores + j;
    if (!any_wins(run, threshold_.score)) continue;
    for (std::size_t k = 0; k < kRun; ++k) {
      if (wins(run[k], threshold_.score)) offer(run[k], first + j + k);
    }
  }
  for (; j < count; ++j) {
    if (wins(scores[j], threshold_.score)) offer(scores[j], first + j);
  }
}

void TopSelection::keep_best() noexcept {
  if (buffer_.size() <= top_k_) return;
  std::nth_element(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(top_k_ - 1),
                   buffer_.end());
  buffer_.truncate(top_k_);
  threshold_ = buffer_.back();
  limited_ = true;
}

EngineResult<Array<ScoredEntry>> TopSelection::ranked() && noexcept {
  keep_best();
  std::sort(buffer_.begin(), buffer_.end());
  Array<ScoredEntry> list;
  if (!list.try_reserve(buffer_.size())) return EngineError::out_of_memory();
  for (const Candidate& candidate : buffer_) list.push_back_reserved({candidate.score, candidate.entry});
  return list;
}

EngineResult<Array<ScoredEntry>> select_top(const Vectorstore& store, std::span<const float> query,
                                            std::size_t top_k, std::size_t first, std::size_t last,
                                            KernelPath path) noexcept {
  if (top_k == 0 || first >= last) return Array<ScoredEntry>();
  TRY_ASSIGN(TopSelection selection, TopSelection::make(top_k, last - first));
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
