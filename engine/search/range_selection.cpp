// One query scores runs of blocks kept in L1 with their scores; a batch
// reads the range in tiles of blocks that stay in the processor's L2
// cache: every group of queries is scored against a tile there, each line
// loaded once per group, the first group also summing the tile's squared
// norms, while the next tile is fetched into the cache a share per group.
// So memory is read once per pass, under the arithmetic, and a score costs
// one multiply and one add per element, as for a single query: the bits
// are search()'s, whatever the batch and a query's place in it.
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
  if (first_pass_pays(store, top_k, first, last)) {
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

EngineResult<RankedRows> select_top_batch(const Vectorstore& store, const BatchPass& pass, std::size_t first,
                                          std::size_t last, Interruption& interruption) noexcept {
  RankedRows ranked;
  ranked.width = first < last ? std::min(pass.top_k, last - first) : 0;
  const std::size_t query_count = pass.query_count;
  if (ranked.width == 0 || query_count == 0) return ranked;

  const std::size_t dimension = store.vector_size();
  const BlockKernels& kernels = block_kernels(pass.path);
  const FloatEnvironment environment;
  TRY_ASSIGN(QueryGroups groups,
             make_query_groups(*pass.queries, pass.first_query, query_count, dimension, kernels.group_size));
  TopSelection::Scratch keys;
  Array<TopSelection> selections;
  if (!selections.try_reserve(query_count)) return EngineError::out_of_memory();
  for (std::size_t q = 0; q < query_count; ++q) {
    TRY_ASSIGN(TopSelection selection, TopSelection::make(pass.top_k, last - first, keys));
    selections.push_back_reserved(std::move(selection));
  }
  const std::size_t held = (last + kBlockLanes - 1) / kBlockLanes - first / kBlockLanes;
  const std::size_t tile = std::min(pass.tile_blocks, held);
  FloatVector roots, scores;
  if (!roots.try_resize(tile * kBlockLanes) || !scores.try_resize(kernels.group_size * tile * kBlockLanes)) {
    return EngineError::out_of_memory();
  }

  // Each tile is scored while the next one is fetched into the cache, a
  // share of its lines within each group's arithmetic: its first group then
  // finds it there. Fetching it in a burst between groups, or leaving it to
  // the hardware, stalled the arithmetic instead (1.07x the time at
  // 100,000 x 128 with 64 queries, AMD EPYC Zen 5).
  struct Tile {
    const float* blocks = nullptr;
    std::size_t count = 0;
    Blocks::Entries entries{};
  };
  bool stopped = false;
  const std::size_t group_count = groups.groups.size();
  auto score = [&](const Tile& now, const Tile& next) {
    const std::size_t stride = now.count * kBlockLanes;
    const std::size_t next_lines = next.count * dimension;
    for (std::size_t g = 0; g < group_count && !stopped; ++g) {
      const QueryGroup& group = groups.groups[g];
      const std::size_t from = g * next_lines / group_count, to = (g + 1) * next_lines / group_count;
      kernels.score_group(group, now.blocks, now.count, dimension, roots.data(),
                          g == 0 ? Roots::compute : Roots::known, scores.data(), stride,
                          {next.blocks + from * kBlockLanes, to - from});
      for (std::size_t k = 0; k < group.count; ++k) {
        selections[g * kernels.group_size + k].offer_in_order(scores.data() + k * stride + now.entries.lane,
                                                               now.entries.first, now.entries.count);
      }
      stopped = interruption.requested();
    }
  };
  Tile pending;
  store.blocks().for_each_run_of_entries(first, last, tile,
                                         [&](const float* blocks, std::size_t count, Blocks::Entries entries) {
    const Tile next{blocks, count, entries};
    if (pending.count != 0 && !stopped) score(pending, next);
    pending = next;
  });
  if (!stopped) score(pending, Tile{});
  if (stopped) return EngineError::interrupted();

  if (!ranked.entries.try_reserve(query_count * ranked.width)) return EngineError::out_of_memory();
  ranked.entries.set_size_reserved(query_count * ranked.width);
  for (std::size_t q = 0; q < query_count; ++q) {
    selections[q].rank_into(ranked.entries.data() + q * ranked.width);
  }
  return ranked;
}

EngineResult<Array<ResultPair>> to_result_pairs(std::span<const ScoredEntry> list,
                                                std::span<const std::uint64_t> ids) noexcept {
  Array<ResultPair> pairs;
  if (!pairs.try_reserve(list.size())) return EngineError::out_of_memory();
  for (const ScoredEntry& scored : list) pairs.push_back_reserved({scored.score, ids[scored.entry]});
  return pairs;
}

}  // namespace tessaly
