#include "engine/search/first_pass_selection.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "engine/search/block_kernels.hpp"
#include "engine/search/int8_kernels.hpp"

namespace tessaly {
namespace {

// Blocks per kernel call: their products and bounds (12 KiB) stay in L1.
constexpr std::size_t kRunBlocks = 64;
// Ranges smaller than this take one float pass: two stages would not pay.
constexpr std::size_t kLeastEntries = 2048;
// A range pays for a first pass only if top_k is at most this share of it:
// candidates run to a few times k, each scored with its block, out of
// order (at 100,000 x 768, k = 1,000 took 1.22x a float scan).
constexpr std::size_t kTopKShare = 256;
// A candidate costs the float scoring of its block, 64 times its entry's
// int8 bytes: past about one candidate in 21 entries, two stages cost more
// than one float pass. The float scan takes over at one in 32 (once
// kSettlingEntries are taken, so that the threshold has risen).
constexpr std::size_t kCandidateShare = 32;
constexpr std::size_t kSettlingEntries = 4 * kRunBlocks * kBlockLanes;
// Before then, only a share this large gives up, checked step by step (with
// kEarlyEntries taken at least): past it the candidates' blocks alone cost
// several float scans, whatever the threshold does later (near-duplicates,
// entries the bound does not cover), and so would their memory.
constexpr std::size_t kEarlyShare = 4;
constexpr std::size_t kEarlyEntries = 256;
// Lanes whose lower bounds make a first threshold, before any is known.
constexpr std::size_t kFirstBounds = 256;
// Candidates scored between updates of the k-th best score among them.
constexpr std::size_t kSettleEvery = 16;

}  // namespace

bool first_pass_pays(const Vectorstore& store, std::size_t top_k, std::size_t entries) noexcept {
  return store.int8_copy() != nullptr && store.vector_size() != 0 && entries >= kLeastEntries &&
         top_k != 0 && top_k <= entries / kTopKShare;
}

EngineResult<FirstStage> FirstStage::make(std::size_t top_k, std::size_t first, std::size_t last) noexcept {
  TRY_ASSIGN(KthLargest lower_bounds, KthLargest::make(top_k));
  return FirstStage(top_k, first, last, std::move(lower_bounds));
}

void FirstStage::keep_reaching(float threshold) noexcept {
  std::size_t kept = 0;
  for (const Candidate& candidate : candidates_) {
    if (!(candidate.upper < threshold)) candidates_[kept++] = candidate;
  }
  candidates_.truncate(kept);
  trimmed_ = kept;
}

void FirstStage::offer_lower_bounds(const FirstPassQuery& query, std::size_t from, std::size_t count,
                                    const std::int32_t* dots, const float* alphas, const float* betas,
                                    const EntryMask* mask) noexcept {
  float lower[kRunBlocks];
  for (std::size_t start = 0; start < count; start += kRunBlocks) {
    const std::size_t lanes = std::min(kRunBlocks, count - start);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < lanes; ++i) {
      if (mask != nullptr && (mask->run(from + start + i) & 1u) == 0) continue;
      lower[kept++] = bound_lane(query, dots[start + i], alphas[start + i], betas[start + i]).lower;
    }
    lower_bounds_.offer(lower, kept);
  }
  lower_bounds_.settle();
}

EngineResult<void> FirstStage::take(const FirstPassQuery& query, const Int8Kernels& kernels, std::size_t from,
                                    std::size_t count, const std::int32_t* dots, const float* alphas,
                                    const float* betas, const EntryMask* mask) noexcept {
  if (taken_over()) return {};
  // Until k lower bounds are known, every lane would pass: the lower
  // bounds of the run's first lanes are all offered first, so that the
  // others meet a k-th of those (the rest offer theirs only if they reach
  // it). Bounding a whole first run of a batch's tile (1,536 lanes at
  // d = 128) cost each query as much as scanning a tenth of 100,000 entries.
  const std::size_t offered =
      lower_bounds_.threshold() == -std::numeric_limits<float>::infinity() ? std::min(count, kFirstBounds) : 0;
  if (offered != 0) offer_lower_bounds(query, from, offered, dots, alphas, betas, mask);
  float threshold = lower_bounds_.threshold();
  // Most lanes fall below the threshold: whole steps are ruled out at once,
  // and of the others only the lanes that reach it are looked at again.
  const BoundFactors factors = query.factors();
  std::uint32_t lanes = 0;
  for (std::size_t step = kernels.next_reaching(factors, dots, alphas, betas, 0, count, threshold, mask, from, lanes);
       step < count; step = kernels.next_reaching(factors, dots, alphas, betas, step + kBoundLanes, count, threshold,
                                                  mask, from, lanes)) {
    if (mask != nullptr) lanes &= mask->run(from + step);
    for (; lanes != 0; lanes &= lanes - 1) {
      const std::size_t i = step + static_cast<std::size_t>(std::countr_zero(lanes));
      const LaneBounds bounds = bound_lane(query, dots[i], alphas[i], betas[i]);
      if (bounds.upper < threshold) continue;  // a NaN bound is kept
      if (i >= offered) lower_bounds_.offer(&bounds.lower, 1);
      if (!candidates_.try_push_back({from + i, bounds.upper})) return EngineError::out_of_memory();
    }
    threshold = lower_bounds_.threshold();
    const std::size_t through = std::min(step + kBoundLanes, count);
    if (candidates_.size() > early_budget(taken_ + through)) {
      keep_reaching(threshold);
      if (candidates_.size() > early_budget(taken_ + through)) {
        float_from_ = from + through;
        return {};
      }
    }
  }
  // A threshold as high as the run allows (a trim of at most 2k + 64
  // values per run): the lower it lags, the more candidates pass it.
  lower_bounds_.settle();
  threshold = lower_bounds_.threshold();
  if (candidates_.size() > 2 * trimmed_ + 64) keep_reaching(threshold);
  taken_ += count;
  const std::size_t taken = taken_;
  const std::size_t budget = top_k_ + taken / kCandidateShare;
  if (taken >= kSettlingEntries && candidates_.size() > budget) {
    keep_reaching(threshold);
    if (candidates_.size() > budget) float_from_ = from + count;
  }
  return {};
}

std::size_t FirstStage::early_budget(std::size_t taken) const noexcept {
  return top_k_ + std::max(taken, kEarlyEntries) / kEarlyShare;
}

void FirstStage::finish() noexcept {
  lower_bounds_.settle();
  keep_reaching(lower_bounds_.threshold());
}

EngineResult<void> FirstStage::offer_candidates(const Vectorstore& store, std::span<const float> query,
                                                KernelPath path, TopSelection& selection) noexcept {
  const std::size_t count = candidates_.size();
  // The candidates' positions, best upper bound first, the uncovered (NaN)
  // before all: once k scores are known, a candidate whose upper bound is
  // below the k-th of them scores below k entries, and so does every one
  // after it.
  Array<std::size_t> order;
  Array<ScoredEntry> scored;  // in entry order; entry SIZE_MAX: not scored yet
  if (!order.try_resize(count) || !scored.try_resize(count)) return EngineError::out_of_memory();
  for (std::size_t p = 0; p < count; ++p) {
    order[p] = p;
    scored[p] = {0.0f, SIZE_MAX};
  }
  const auto upper = [&](std::size_t p) { return candidates_[p].upper; };
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return upper(a) > upper(b) || (std::isnan(upper(a)) && !std::isnan(upper(b)));
  });
  TRY_ASSIGN(KthLargest best, KthLargest::make(top_k_));
  const QueryTerms terms(query);
  const BlockKernels& kernels = block_kernels(path);
  float scores[kBlockLanes];
  std::size_t known = 0;
  for (const std::size_t p : order) {
    if (upper(p) < best.threshold()) break;
    if (scored[p].entry != SIZE_MAX) continue;
    // A block's scoring gives all its lanes: every candidate of the block
    // (neighbours in entry order) is scored with it, and counts toward the
    // k-th score at once.
    const std::size_t block = candidates_[p].entry / kBlockLanes;
    kernels.score(terms, store.blocks().block(block), 1, scores);
    std::size_t low = p, high = p + 1;
    while (low > 0 && candidates_[low - 1].entry / kBlockLanes == block) --low;
    while (high < count && candidates_[high].entry / kBlockLanes == block) ++high;
    for (std::size_t q = low; q < high; ++q) {
      const std::size_t entry = candidates_[q].entry;
      scored[q] = {scores[entry % kBlockLanes], entry};
      best.offer(&scored[q].score, 1);
    }
    const std::size_t before = known;
    known += high - low;
    if (known >= top_k_ && known / kSettleEvery != before / kSettleEvery) best.settle();
  }
  // Offered in entry order, as a plain scan offers them.
  std::size_t kept = 0;
  for (std::size_t p = 0; p < count; ++p) {
    if (scored[p].entry != SIZE_MAX) scored[kept++] = scored[p];
  }
  selection.offer(std::span<const ScoredEntry>(scored.data(), kept));
  return {};
}

EngineResult<Array<ScoredEntry>> select_top_in_two_stages(const Vectorstore& store, std::span<const float> query,
                                                          const FirstPassQuery& quantized, std::size_t top_k,
                                                          std::size_t first, std::size_t last,
                                                          KernelPath path) noexcept {
  const Int8Copy& copy = *store.int8_copy();
  const Int8Kernels& int8 = int8_kernels(path);
  const Int8Query int8_query = quantized.int8(copy.lines());
  TRY_ASSIGN(FirstStage stage, FirstStage::make(top_k, first, last));
  std::int32_t dots[kRunBlocks * kBlockLanes];
  EngineResult<void> taken;
  copy.for_each_run(first / kBlockLanes, (last + kBlockLanes - 1) / kBlockLanes, kRunBlocks,
                    [&](const std::int8_t* blocks, std::size_t block, std::size_t count) {
    if (stage.taken_over() || !taken.ok()) return;
    int8.dot(int8_query, blocks, count, dots);
    const std::size_t start = block * kBlockLanes;
    const std::size_t from = std::max(first, start), to = std::min(last, start + count * kBlockLanes);
    taken = stage.take(quantized, int8, from, to - from, dots + (from - start), copy.alphas().data() + from,
                       copy.betas().data() + from);
  });
  TRY(std::move(taken));
  stage.finish();

  // The second stage: the candidates' scores, then the float scan of the
  // rest, if it took over.
  TopSelection::Scratch keys;
  TRY_ASSIGN(TopSelection selection,
             TopSelection::make(top_k, stage.candidates().size() + (last - stage.float_from()), keys));
  TRY(stage.offer_candidates(store, query, path, selection));
  if (stage.taken_over()) {
    const QueryTerms terms(query);
    const BlockKernels& kernels = block_kernels(path);
    float scores[kRunBlocks * kBlockLanes];
    store.blocks().for_each_run_of_entries(stage.float_from(), last, kRunBlocks,
                                           [&](const float* blocks, std::size_t count, Blocks::Entries entries) {
      kernels.score(terms, blocks, count, scores);
      selection.offer_in_order(scores + entries.lane, entries.first, entries.count);
    });
  }
  return std::move(selection).ranked();
}

}  // namespace tessaly
