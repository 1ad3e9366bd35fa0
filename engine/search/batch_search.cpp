// A batch is cut at four levels, each sized for the memory it works in:
// - passes of queries: as many as keep their scratch (a selection and a
//   ranked list per query and worker) within kPassBytes, what L2 holds
//   beside a tile, so that a batch of any size needs bounded memory beside
//   its results; but at least kPassQueries while that scratch stays within
//   kMostPassBytes, so that a pass over a large store stays bound by
//   arithmetic rather than by reading the store;
// - chunks of the store, one per worker (runtime/worker_plan.hpp), each
//   ranked for every query of the pass and merged per query in chunk order
//   (chunk_ranking.hpp);
// - tiles of blocks within a chunk: as many whole register tiles as fit
//   kTileBytes, so that a tile stays in L2 while every group of queries is
//   scored against it, and the next one is fetched meanwhile
//   (batch_selection.cpp); the first pass's int8 tiles hold as many bytes
//   (first_pass_batch.cpp);
// - groups of queries, as many as a kernel holds in registers
//   (BlockKernels::group_size), each line of a tile loaded once per group.
#include "engine/search/batch_search.hpp"

#include <algorithm>
#include <span>

#include "engine/search/block_kernels.hpp"
#include "engine/search/chunk_ranking.hpp"
#include "engine/search/batch_selection.hpp"
#include "engine/search/range_selection.hpp"
#include "engine/search/search.hpp"

namespace tessaly {
namespace {

constexpr std::size_t kPassBytes = std::size_t{512} << 10;
constexpr std::size_t kPassQueries = 64;
constexpr std::size_t kMostPassBytes = std::size_t{32} << 20;

// Bytes of blocks per tile: well within any L2 cache, beside the scores.
constexpr std::size_t kTileBytes = std::size_t{192} << 10;
// Blocks per tile when blocks take no room (vectors of no elements): their
// scores are all the scratch a tile needs.
constexpr std::size_t kEmptyTileBlocks = 16;

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

// Blocks per tile: as many as fit kTileBytes, rounded down to whole
// register tiles of `register_tile` blocks (at 768 dimensions a 192 KiB
// tile holds 4 blocks, and 3-block register tiles would leave a quarter of
// them to a narrower one).
std::size_t tile_blocks(std::size_t dimension, std::size_t register_tile) noexcept {
  const std::size_t block_bytes = dimension * kBlockLanes * sizeof(float);
  std::size_t fits = block_bytes == 0 ? kEmptyTileBlocks : std::max<std::size_t>(1, kTileBytes / block_bytes);
  if (fits >= register_tile) fits -= fits % register_tile;
  return fits;
}

// Int8 blocks per first-pass tile: as many as fit kTileBytes.
std::size_t int8_tile_blocks(std::size_t lines) noexcept {
  const std::size_t block_bytes = lines * kBlockLanes * kInt8LaneElements;
  return block_bytes == 0 ? kEmptyTileBlocks : std::max<std::size_t>(1, kTileBytes / block_bytes);
}

// Chunk bounds for `plan`'s workers: its even chunks, or with a mask,
// chunks holding equal shares of the entries worth reading (a tenant's run
// of entries is shared out, not left to the worker whose chunk holds it).
EngineResult<Array<std::size_t>> chunk_bounds(const ChunkPlan& plan, std::size_t entries,
                                              const EntryMask* mask) noexcept {
  Array<std::size_t> bounds;
  if (!bounds.try_resize(plan.workers + 1)) return EngineError::out_of_memory();
  for (std::size_t w = 0; w < plan.workers; ++w) bounds[w] = plan.first(w);
  bounds[plan.workers] = entries;
  if (mask == nullptr) return bounds;
  TRY_ASSIGN(const Array<EntrySpan> spans, mask->spans(0, entries));
  const std::size_t workers = plan.workers;
  std::size_t read = 0;
  for (const EntrySpan& span : spans) read += span.last - span.first;
  const auto share = [&](std::size_t w) { return read / workers * w + read % workers * w / workers; };
  std::size_t w = 1, before = 0;  // before: the entries of the spans before this one
  for (const EntrySpan& span : spans) {
    const std::size_t length = span.last - span.first;
    for (; w < workers && share(w) < before + length; ++w) bounds[w] = span.first + (share(w) - before);
    before += length;
  }
  for (; w < workers; ++w) bounds[w] = entries;
  return bounds;
}

void write_row(std::span<const ScoredEntry> list, std::span<const std::uint64_t> ids, ResultRows out,
               std::size_t query) noexcept {
  for (std::size_t r = 0; r < list.size(); ++r) {
    out.scores[query * out.width + r] = list[r].score;
    out.ids[query * out.width + r] = ids[list[r].entry];
  }
}

}  // namespace

EngineResult<BatchSearch> BatchSearch::plan(const Vectorstore& store, const QueryRows& queries, std::size_t top_k,
                                            WorkerRequest workers, KernelPath path,
                                            const EntryMask* mask) noexcept {
  if (const auto length = queries.wrong_length(store.vector_size())) {
    return query_length_error(*length, store.vector_size());
  }
  BatchSearch batch(store, queries, top_k, path, mask);
  // Planning reads the processor count (control-group files included), so
  // only a batch that has something to score plans.
  std::size_t chunk = store.len(), count = 1;
  if (workers.mode != WorkerRequest::Mode::calling_thread && store.len() != 0 && queries.size() != 0) {
    const ChunkPlan plan = plan_workers(store.len(), workers.n_threads);
    if (workers.mode == WorkerRequest::Mode::per_call || plan.workers != 1) {
      TRY_ASSIGN(batch.chunk_bounds_, chunk_bounds(plan, store.len(), mask));
      chunk = plan.chunk_size;
      count = plan.workers;
    }
  }
  batch.pass_queries_ = queries_per_pass(top_k, chunk, store.vector_size(), count);
  batch.tile_blocks_ = tile_blocks(store.vector_size(), block_kernels(path).tile_blocks);
  if (const Int8Copy* copy = store.int8_copy()) batch.int8_tile_blocks_ = int8_tile_blocks(copy->lines());
  return batch;
}

EngineResult<void> BatchSearch::run(ResultRows out, Interruption& interruption) const noexcept {
  const Vectorstore& store = *store_;
  // Workers are started even for top_k 0, as a parallel search starts them
  // for any store with entries.
  const bool on_workers = !chunk_bounds_.empty();
  if (on_workers ? store.len() == 0 : width() == 0) return {};
  for (std::size_t first = 0; first < rows(); first += pass_queries_) {
    const BatchPass pass{queries_, first, std::min(pass_queries_, rows() - first), top_k_, path_, tile_blocks_,
                         int8_tile_blocks_, mask_};
    if (!on_workers) {
      TRY_ASSIGN(RankedRows ranked, select_top_batch(store, pass, 0, store.len(), interruption));
      for (std::size_t q = 0; q < pass.query_count; ++q) write_row(ranked.row(q), store.ids(), out, first + q);
      continue;
    }
    auto rank = [&](std::size_t from, std::size_t to) {
      return select_top_batch(store, pass, from, to, interruption);
    };
    auto deliver = [&](std::size_t q, std::span<const ScoredEntry> list) { write_row(list, store.ids(), out, first + q); };
    TRY(rank_in_chunks(chunk_bounds_, pass.query_count, top_k_, rank, deliver, &interruption));
  }
  return {};
}

}  // namespace tessaly
