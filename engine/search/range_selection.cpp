// One query scores runs of blocks kept in L1 with their scores, or, where
// the store keeps an int8 copy, takes two stages (first_pass_selection.hpp).
#include "engine/search/range_selection.hpp"

#include <algorithm>

#include "engine/base/float_environment.hpp"
#include "engine/search/block_kernels.hpp"
#include "engine/search/first_pass_selection.hpp"

namespace tessaly {
namespace {

// Blocks scored per kernel call: their scores (4 KiB) stay in L1 for the
// selection.
constexpr std::size_t kRunBlocks = 64;

}  // namespace

EngineResult<Array<ScoredEntry>> select_top(const Vectorstore& store, std::span<const float> query,
                                            std::size_t top_k, std::size_t first, std::size_t last,
                                            KernelPath path) noexcept {
  if (top_k == 0 || first >= last) return Array<ScoredEntry>();
  const FloatEnvironment environment;
  if (first_pass_pays(store, top_k, last > first ? last - first : 0)) {
    TRY_ASSIGN(const FirstPassQuery quantized, quantize_query(query, store.int8_copy()->lines()));
    if (quantized.covered) return select_top_in_two_stages(store, query, quantized, top_k, first, last, path);
  }
  TopSelection::Scratch keys;
  TRY_ASSIGN(TopSelection selection, TopSelection::make(top_k, last - first, keys));
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
