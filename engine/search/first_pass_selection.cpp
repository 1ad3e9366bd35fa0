#include "engine/search/first_pass_selection.hpp"

#include <algorithm>

#include "engine/search/block_kernels.hpp"
#include "engine/search/int8_kernels.hpp"
#include "engine/search/kth_largest.hpp"

namespace tessaly {
namespace {

// Blocks per kernel call: their products and bounds (12 KiB) stay in L1.
constexpr std::size_t kRunBlocks = 64;
// Ranges smaller than this take one float pass: two stages would not pay.
constexpr std::size_t kLeastEntries = 2048;
// A range pays for a first pass only if top_k is at most this share of it.
constexpr std::size_t kTopKShare = 16;
// A candidate costs the float scoring of its block, 64 times its entry's
// int8 bytes: past about one candidate in 21 entries, two stages cost more
// than one float pass. The float scan takes over at one in 32 (after
// kSettlingEntries, so that the threshold has risen).
constexpr std::size_t kCandidateShare = 32;
constexpr std::size_t kSettlingEntries = 4 * kRunBlocks * kBlockLanes;

struct Candidate {
  std::size_t entry;
  float upper;
};

// The first stage's outcome: the candidates in entry order, whose upper
// bounds reach the final threshold or are NaN, and where the float scan
// takes over (`last` when it does not).
struct FirstStage {
  Array<Candidate> candidates;
  std::size_t float_from;
};

// Keeps the candidates whose upper bound reaches `threshold` (or is NaN).
void keep_reaching(Array<Candidate>& candidates, float threshold) noexcept {
  std::size_t kept = 0;
  for (const Candidate& candidate : candidates) {
    if (!(candidate.upper < threshold)) candidates[kept++] = candidate;
  }
  candidates.truncate(kept);
}

EngineResult<FirstStage> first_stage(const Vectorstore& store, const FirstPassQuery& quantized, std::size_t top_k,
                                     std::size_t first, std::size_t last, KernelPath path) noexcept {
  const Int8Copy& copy = *store.int8_copy();
  const Int8Kernels& kernels = int8_kernels(path);
  const Int8Query query = quantized.int8(copy.lines());
  TRY_ASSIGN(KthLargest lower_bounds, KthLargest::make(top_k));
  FirstStage stage{{}, last};
  std::int32_t dots[kRunBlocks * kBlockLanes];
  float lower[kRunBlocks * kBlockLanes], upper[kRunBlocks * kBlockLanes];
  std::size_t trimmed = 0;  // candidates after the last trim
  bool failed = false;
  copy.for_each_run(first / kBlockLanes, (last + kBlockLanes - 1) / kBlockLanes, kRunBlocks,
                    [&](const std::int8_t* blocks, std::size_t block, std::size_t count) {
    if (stage.float_from != last || failed) return;
    kernels.dot(query, blocks, count, dots);
    const std::size_t start = block * kBlockLanes;
    const std::size_t from = std::max(first, start), to = std::min(last, start + count * kBlockLanes);
    const std::size_t n = to - from;
    bound_lanes(quantized, dots + (from - start), copy.terms().data() + from, n, lower, upper);
    lower_bounds.offer(lower, n);
    const float threshold = lower_bounds.threshold();
    for (std::size_t i = 0; i < n; ++i) {
      if (upper[i] < threshold) continue;
      if (!stage.candidates.try_push_back({from + i, upper[i]})) {
        failed = true;
        return;
      }
    }
    if (stage.candidates.size() > 2 * trimmed + 64) {
      keep_reaching(stage.candidates, threshold);
      trimmed = stage.candidates.size();
    }
    const std::size_t scanned = to - first;
    if (scanned >= kSettlingEntries && stage.candidates.size() > top_k + scanned / kCandidateShare) {
      keep_reaching(stage.candidates, threshold);
      trimmed = stage.candidates.size();
      if (stage.candidates.size() > top_k + scanned / kCandidateShare) stage.float_from = to;
    }
  });
  if (failed) return EngineError::out_of_memory();
  lower_bounds.settle();
  keep_reaching(stage.candidates, lower_bounds.threshold());
  return stage;
}

}  // namespace

bool first_pass_pays(const Vectorstore& store, std::size_t top_k, std::size_t first, std::size_t last) noexcept {
  const std::size_t entries = last > first ? last - first : 0;
  return store.int8_copy() != nullptr && store.vector_size() != 0 && entries >= kLeastEntries &&
         top_k != 0 && top_k <= entries / kTopKShare;
}

EngineResult<Array<ScoredEntry>> select_top_in_two_stages(const Vectorstore& store, std::span<const float> query,
                                                          const FirstPassQuery& quantized, std::size_t top_k,
                                                          std::size_t first, std::size_t last,
                                                          KernelPath path) noexcept {
  TRY_ASSIGN(FirstStage stage, first_stage(store, quantized, top_k, first, last, path));
  // The second stage: the float kernel scores each candidate's block (every
  // lane, as a plain scan does) and offers the candidates, in entry order;
  // then the float scan scores the rest, if it took over.
  TopSelection::Scratch keys;
  TRY_ASSIGN(TopSelection selection, TopSelection::make(top_k, stage.candidates.size() + (last - stage.float_from), keys));
  const QueryTerms terms(query);
  const BlockKernels& kernels = block_kernels(path);
  float scores[kRunBlocks * kBlockLanes];
  std::size_t scored_block = SIZE_MAX;
  for (const Candidate& candidate : stage.candidates) {
    const std::size_t block = candidate.entry / kBlockLanes;
    if (block != scored_block) {
      kernels.score(terms, store.blocks().block(block), 1, scores);
      scored_block = block;
    }
    selection.offer(scores[candidate.entry % kBlockLanes], candidate.entry);
  }
  if (stage.float_from < last) {
    store.blocks().for_each_run_of_entries(stage.float_from, last, kRunBlocks,
                                           [&](const float* blocks, std::size_t count, Blocks::Entries entries) {
      kernels.score(terms, blocks, count, scores);
      selection.offer_in_order(scores + entries.lane, entries.first, entries.count);
    });
  }
  return std::move(selection).ranked();
}

}  // namespace tessaly
