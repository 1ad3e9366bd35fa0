// Many queries in one pass over the store.
//
// The store is read in tiles of blocks that stay in the processor's L2
// cache: a tile's squared norms are computed once, as it streams in, and
// then every group of queries is scored against it there, each line loaded
// once per group. So memory is read once per batch, and a score costs one
// multiply and one add per element, as for a single query: the bits are
// search()'s, whatever the batch and a query's place in it.
#include <algorithm>

#include "engine/block_kernels.hpp"
#include "engine/float_environment.hpp"
#include "engine/parallel_search.hpp"
#include "engine/ranking.hpp"
#include "engine/worker_threads.hpp"

namespace tessaly {
namespace {

// Bytes of blocks per tile: well within any L2 cache, beside the scores.
constexpr std::size_t kTileBytes = std::size_t{192} << 10;

EngineResult<Array<ResultList>> to_result_lists(std::span<const Array<ScoredEntry>> lists,
                                                std::span<const std::uint64_t> ids) noexcept {
  Array<ResultList> results;
  if (!results.try_reserve(lists.size())) return EngineError::out_of_memory();
  for (const Array<ScoredEntry>& list : lists) {
    TRY_ASSIGN(ResultList pairs, to_result_pairs(list, ids));
    results.push_back_reserved(std::move(pairs));
  }
  return results;
}

}  // namespace

EngineResult<Array<Array<ScoredEntry>>> select_top_batch(const Vectorstore& store, QueryBatch queries,
                                                        std::size_t top_k, std::size_t first,
                                                        std::size_t last, KernelPath path) noexcept {
  Array<Array<ScoredEntry>> lists;
  if (!lists.try_resize(queries.size())) return EngineError::out_of_memory();
  if (top_k == 0 || first >= last || queries.empty()) return lists;

  const std::size_t dimension = store.vector_size();
  const BlockKernels& kernels = block_kernels(path);
  const FloatEnvironment environment;
  TRY_ASSIGN(QueryGroups groups, make_query_groups(queries, dimension, kernels.group_size));
  Array<TopSelection> selections;
  if (!selections.try_reserve(queries.size())) return EngineError::out_of_memory();
  for (std::size_t q = 0; q < queries.size(); ++q) {
    TRY_ASSIGN(TopSelection selection, TopSelection::make(top_k, last - first));
    selections.push_back_reserved(std::move(selection));
  }
  const std::size_t block_bytes = std::max<std::size_t>(1, dimension * kBlockLanes * sizeof(float));
  const std::size_t tile = std::max<std::size_t>(1, kTileBytes / block_bytes);
  FloatVector roots, scores;
  if (!roots.try_resize(tile * kBlockLanes) || !scores.try_resize(kernels.group_size * tile * kBlockLanes)) {
    return EngineError::out_of_memory();
  }

  store.blocks().for_each_run_of_entries(first, last, tile,
                                         [&](const float* blocks, std::size_t count, Blocks::Entries entries) {
    kernels.roots(blocks, count, dimension, roots.data());
    const std::size_t stride = count * kBlockLanes;
    for (std::size_t g = 0; g < groups.groups.size(); ++g) {
      const QueryGroup& group = groups.groups[g];
      kernels.score_group(group, blocks, count, dimension, roots.data(), scores.data(), stride);
      for (std::size_t k = 0; k < group.count; ++k) {
        selections[g * kernels.group_size + k].offer_in_order(scores.data() + k * stride + entries.lane,
                                                               entries.first, entries.count);
      }
    }
  });
  for (std::size_t q = 0; q < queries.size(); ++q) {
    TRY_ASSIGN(lists[q], std::move(selections[q]).ranked());
  }
  return lists;
}

EngineResult<Array<ResultList>> Vectorstore::search_batch(QueryBatch queries, std::size_t top_k,
                                                          KernelPath path) const noexcept {
  TRY(check_query_lengths(queries));
  TRY_ASSIGN(Array<Array<ScoredEntry>> lists, select_top_batch(*this, queries, top_k, 0, len(), path));
  return to_result_lists(lists, ids());
}

EngineResult<Array<ResultList>> Vectorstore::parallel_search_batch(
    QueryBatch queries, std::size_t top_k, std::optional<std::size_t> n_threads) const noexcept {
  TRY(check_query_lengths(queries));
  if (len() == 0 || queries.empty()) {
    Array<ResultList> lists;
    if (!lists.try_resize(queries.size())) return EngineError::out_of_memory();
    return lists;
  }
  const ChunkPlan plan = plan_workers(len(), n_threads);

  // Each worker ranks every query over its own chunk; the lists are merged
  // per query in chunk order, as parallel_search merges one query's.
  Array<Array<Array<ScoredEntry>>> chunks;
  if (!chunks.try_resize(plan.workers)) return EngineError::out_of_memory();
  Array<TopSelection> merged;
  if (!merged.try_reserve(queries.size())) return EngineError::out_of_memory();
  for (std::size_t q = 0; q < queries.size(); ++q) {
    TRY_ASSIGN(TopSelection selection,
               TopSelection::make(top_k, std::min(top_k, plan.chunk_size) * plan.workers));
    merged.push_back_reserved(std::move(selection));
  }
  auto work = [&](std::size_t w) -> EngineResult<void> {
    TRY_ASSIGN(chunks[w],
               select_top_batch(*this, queries, top_k, plan.first(w), plan.last(w, len()), best_kernel_path()));
    return {};
  };
  auto collect = [&](std::size_t w) {
    for (std::size_t q = 0; q < queries.size(); ++q) merged[q].offer(chunks[w][q]);
    Array<Array<ScoredEntry>>().swap(chunks[w]);
  };
  TRY(run_workers(plan.workers, work, collect));
  Array<Array<ScoredEntry>> lists;
  if (!lists.try_reserve(queries.size())) return EngineError::out_of_memory();
  for (TopSelection& selection : merged) {
    TRY_ASSIGN(Array<ScoredEntry> list, std::move(selection).ranked());
    lists.push_back_reserved(std::move(list));
  }
  return to_result_lists(lists, ids());
}

}  // namespace tessaly
