// Many queries in passes over the store.
//
// The store is read in tiles of blocks that stay in the processor's L2
// cache: a tile's squared norms are computed once, as it streams in, and
// then every group of queries is scored against it there, each line loaded
// once per group. So memory is read once per pass, and a score costs one
// multiply and one add per element, as for a single query: the bits are
// search()'s, whatever the batch and a query's place in it.
//
// A pass takes as many queries as keep its scratch (their selections and
// ranked lists) within kPassBytes, so that a batch of any size needs a
// bounded amount of memory beside its results.
#include <algorithm>

#include "engine/block_kernels.hpp"
#include "engine/float_environment.hpp"
#include "engine/parallel_search.hpp"
#include "engine/ranking.hpp"

namespace tessaly {
namespace {

// Bytes of blocks per tile: well within any L2 cache, beside the scores.
constexpr std::size_t kTileBytes = std::size_t{192} << 10;
// Blocks per tile when blocks take no room (vectors of no elements): their
// scores are all the scratch a tile needs.
constexpr std::size_t kEmptyTileBlocks = 16;
// Scratch of one pass over the store, for all its workers together: what
// L2 holds beside a tile, so that the selections stay in cache...
constexpr std::size_t kPassBytes = std::size_t{512} << 10;
// ...but at least this many queries, so that a pass over a large store is
// still bound by arithmetic rather than by reading the store...
constexpr std::size_t kPassQueries = 64;
// ...as long as their scratch stays within this.
constexpr std::size_t kMostPassBytes = std::size_t{32} << 20;

// Queries per pass, for `workers` workers of `chunk` entries each.
std::size_t queries_per_pass(std::size_t top_k, std::size_t chunk, std::size_t dimension,
                             std::size_t workers) noexcept {
  const std::size_t kept = std::min(top_k, chunk);
  // A selection's buffer (see TopSelection::make), its ranked list, and the
  // query's interleaved copy.
  const std::size_t buffered = std::min(kept > SIZE_MAX / 4 ? SIZE_MAX : 3 * kept + 16, chunk + 16);
  const double per_query = static_cast<double>(workers) *
                               (16.0 * static_cast<double>(buffered) + 16.0 * static_cast<double>(kept) +
                                4.0 * static_cast<double>(dimension)) +
                           16.0 * static_cast<double>(kept);
  const auto fitting = [&](std::size_t bytes) {
    const double fits = static_cast<double>(bytes) / per_query;
    return fits > static_cast<double>(SIZE_MAX) ? SIZE_MAX : static_cast<std::size_t>(fits);
  };
  return std::max({fitting(kPassBytes), std::min(kPassQueries, fitting(kMostPassBytes)), std::size_t{1}});
}

// The queries cut into groups, each interleaved as the kernels read it.
struct Groups {
  Array<QueryGroup> groups;
  FloatVector elements;

  static EngineResult<Groups> make(QueryBatch queries, std::size_t dimension,
                                   std::size_t group_size) noexcept {
    Groups made;
    const std::size_t count = (queries.size() + group_size - 1) / group_size;
    if (dimension != 0 && queries.size() > SIZE_MAX / dimension) return EngineError::out_of_memory();
    if (!made.groups.try_reserve(count) || !made.elements.try_resize(queries.size() * dimension)) {
      return EngineError::out_of_memory();
    }
    for (std::size_t first = 0; first < queries.size(); first += group_size) {
      const std::size_t size = std::min(group_size, queries.size() - first);
      float* interleaved = made.elements.data() + first * dimension;
      QueryGroup group{size, interleaved, {}, {}};
      for (std::size_t k = 0; k < size; ++k) {
        const QueryTerms terms(queries[first + k]);
        group.squared_norms[k] = terms.squared_norm;
        group.norms[k] = terms.norm;
        for (std::size_t i = 0; i < dimension; ++i) interleaved[i * size + k] = queries[first + k][i];
      }
      made.groups.push_back_reserved(group);
    }
    return made;
  }
};

// Blocks per tile for entries [first, last): no more than the range holds.
std::size_t tile_blocks(std::size_t dimension, std::size_t first, std::size_t last) noexcept {
  const std::size_t block_bytes = dimension * kBlockLanes * sizeof(float);
  const std::size_t fits = block_bytes == 0 ? kEmptyTileBlocks : std::max<std::size_t>(1, kTileBytes / block_bytes);
  const std::size_t held = (last + kBlockLanes - 1) / kBlockLanes - first / kBlockLanes;
  return std::min(fits, held);
}

void write_row(std::span<const ScoredEntry> list, std::span<const std::uint64_t> ids, ResultRows out,
               std::size_t query) noexcept {
  for (std::size_t r = 0; r < list.size(); ++r) {
    out.scores[query * out.width + r] = list[r].score;
    out.ids[query * out.width + r] = ids[list[r].entry];
  }
}

}  // namespace

EngineResult<RankedRows> select_top_batch(const Vectorstore& store, QueryBatch queries, std::size_t top_k,
                                          std::size_t first, std::size_t last, KernelPath path,
                                          Interruption& interruption) noexcept {
  RankedRows ranked;
  ranked.width = first < last ? std::min(top_k, last - first) : 0;
  if (ranked.width == 0 || queries.empty()) return ranked;

  const std::size_t dimension = store.vector_size();
  const BlockKernels& kernels = block_kernels(path);
  const FloatEnvironment environment;
  TRY_ASSIGN(Groups groups, Groups::make(queries, dimension, kernels.group_size));
  SelectionKeys keys;
  Array<TopSelection> selections;
  if (!selections.try_reserve(queries.size())) return EngineError::out_of_memory();
  for (std::size_t q = 0; q < queries.size(); ++q) {
    TRY_ASSIGN(TopSelection selection, TopSelection::make(top_k, last - first, keys));
    selections.push_back_reserved(std::move(selection));
  }
  const std::size_t tile = tile_blocks(dimension, first, last);
  FloatVector roots, scores;
  if (!roots.try_resize(tile * kBlockLanes) || !scores.try_resize(kernels.group_size * tile * kBlockLanes)) {
    return EngineError::out_of_memory();
  }

  bool stopped = false;
  store.blocks().for_each_run_of_entries(first, last, tile,
                                         [&](const float* blocks, std::size_t count, Blocks::Entries entries) {
    if (stopped) return;
    kernels.roots(blocks, count, dimension, roots.data());
    const std::size_t stride = count * kBlockLanes;
    for (std::size_t g = 0; g < groups.groups.size() && !stopped; ++g) {
      const QueryGroup& group = groups.groups[g];
      kernels.score_group(group, blocks, count, dimension, roots.data(), scores.data(), stride);
      for (std::size_t k = 0; k < group.count; ++k) {
        selections[g * kernels.group_size + k].offer_in_order(scores.data() + k * stride + entries.lane,
                                                               entries.first, entries.count);
      }
      stopped = interruption.requested();
    }
  });
  if (stopped) return EngineError::interrupted();

  if (!ranked.entries.try_reserve(queries.size() * ranked.width)) return EngineError::out_of_memory();
  ranked.entries.set_size_reserved(queries.size() * ranked.width);
  for (std::size_t q = 0; q < queries.size(); ++q) {
    selections[q].rank_into(ranked.entries.data() + q * ranked.width);
  }
  return ranked;
}

EngineResult<void> Vectorstore::search_batch(QueryBatch queries, std::size_t top_k, ResultRows out,
                                             Interruption& interruption, KernelPath path) const noexcept {
  TRY(check_query_lengths(queries));
  if (out.width == 0) return {};
  const std::size_t pass = queries_per_pass(top_k, len(), vector_size(), 1);
  for (std::size_t first = 0; first < queries.size(); first += pass) {
    const QueryBatch slab = queries.subspan(first, std::min(pass, queries.size() - first));
    TRY_ASSIGN(RankedRows ranked, select_top_batch(*this, slab, top_k, 0, len(), path, interruption));
    for (std::size_t q = 0; q < slab.size(); ++q) write_row(ranked.row(q), ids(), out, first + q);
  }
  return {};
}

EngineResult<void> Vectorstore::parallel_search_batch(QueryBatch queries, std::size_t top_k,
                                                      std::optional<std::size_t> n_threads, ResultRows out,
                                                      Interruption& interruption) const noexcept {
  TRY(check_query_lengths(queries));
  if (len() == 0 || queries.empty()) return {};
  const ChunkPlan plan = plan_workers(len(), n_threads);
  const std::size_t pass = queries_per_pass(top_k, plan.chunk_size, vector_size(), plan.workers);
  for (std::size_t first = 0; first < queries.size(); first += pass) {
    const QueryBatch slab = queries.subspan(first, std::min(pass, queries.size() - first));
    auto rank = [&](std::size_t from, std::size_t to) {
      return select_top_batch(*this, slab, top_k, from, to, best_kernel_path(), interruption);
    };
    auto deliver = [&](std::size_t q, std::span<const ScoredEntry> list) { write_row(list, ids(), out, first + q); };
    TRY(rank_in_chunks(plan, len(), slab.size(), top_k, rank, deliver, &interruption));
  }
  return {};
}

}  // namespace tessaly
