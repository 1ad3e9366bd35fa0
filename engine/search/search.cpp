// A batch goes in passes of as many queries as keep their
// scratch (selections and ranked lists) within kPassBytes, so that a batch
// of any size needs a bounded amount of memory beside its results.
#include "engine/search/search.hpp"

#include <algorithm>

#include "engine/base/message_texts.hpp"
#include "engine/runtime/worker_plan.hpp"
#include "engine/search/chunk_ranking.hpp"
#include "engine/search/range_selection.hpp"

namespace tessaly {
namespace {

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

void write_row(std::span<const ScoredEntry> list, std::span<const std::uint64_t> ids, ResultRows out,
               std::size_t query) noexcept {
  for (std::size_t r = 0; r < list.size(); ++r) {
    out.scores[query * out.width + r] = list[r].score;
    out.ids[query * out.width + r] = ids[list[r].entry];
  }
}

// The error of the first query of the wrong length, if any.
EngineResult<void> check_query_lengths(const Vectorstore& store, QueryBatch queries) noexcept {
  for (const std::span<const float> query : queries) {
    if (query.size() != store.vector_size()) return query_length_error(query.size(), store.vector_size());
  }
  return {};
}

}  // namespace

EngineError query_length_error(std::size_t length, std::size_t expected) noexcept {
  return EngineError::invalid(query_length_text(length, expected));
}

EngineResult<Array<ResultPair>> search(const Vectorstore& store, std::span<const float> query, std::size_t top_k,
                                       KernelPath path) noexcept {
  if (query.size() != store.vector_size()) return query_length_error(query.size(), store.vector_size());
  TRY_ASSIGN(Array<ScoredEntry> best, select_top(store, query, top_k, 0, store.len(), path));
  return to_result_pairs(best, store.ids());
}

EngineResult<Array<ResultPair>> parallel_search(const Vectorstore& store, std::span<const float> query,
                                                std::size_t top_k, std::optional<std::size_t> n_threads) noexcept {
  if (query.size() != store.vector_size()) return query_length_error(query.size(), store.vector_size());
  if (store.len() == 0) return Array<ResultPair>();
  auto rank = [&](std::size_t first, std::size_t last) -> EngineResult<RankedRows> {
    TRY_ASSIGN(Array<ScoredEntry> list, select_top(store, query, top_k, first, last, best_kernel_path()));
    const std::size_t width = list.size();
    return RankedRows{std::move(list), width};
  };
  EngineResult<Array<ResultPair>> found = Array<ResultPair>();
  auto deliver = [&](std::size_t, std::span<const ScoredEntry> list) { found = to_result_pairs(list, store.ids()); };
  TRY(rank_in_chunks(plan_workers(store.len(), n_threads), store.len(), 1, top_k, rank, deliver));
  return found;
}

EngineResult<void> search_batch(const Vectorstore& store, QueryBatch queries, std::size_t top_k, ResultRows out,
                                Interruption& interruption, KernelPath path) noexcept {
  TRY(check_query_lengths(store, queries));
  if (out.width == 0) return {};
  const std::size_t pass = queries_per_pass(top_k, store.len(), store.vector_size(), 1);
  for (std::size_t first = 0; first < queries.size(); first += pass) {
    const QueryBatch slab = queries.subspan(first, std::min(pass, queries.size() - first));
    TRY_ASSIGN(RankedRows ranked, select_top_batch(store, slab, top_k, 0, store.len(), path, interruption));
    for (std::size_t q = 0; q < slab.size(); ++q) write_row(ranked.row(q), store.ids(), out, first + q);
  }
  return {};
}

EngineResult<void> parallel_search_batch(const Vectorstore& store, QueryBatch queries, std::size_t top_k,
                                         std::optional<std::size_t> n_threads, ResultRows out,
                                         Interruption& interruption) noexcept {
  TRY(check_query_lengths(store, queries));
  if (store.len() == 0 || queries.empty()) return {};
  const ChunkPlan plan = plan_workers(store.len(), n_threads);
  const std::size_t pass = queries_per_pass(top_k, plan.chunk_size, store.vector_size(), plan.workers);
  for (std::size_t first = 0; first < queries.size(); first += pass) {
    const QueryBatch slab = queries.subspan(first, std::min(pass, queries.size() - first));
    auto rank = [&](std::size_t from, std::size_t to) {
      return select_top_batch(store, slab, top_k, from, to, best_kernel_path(), interruption);
    };
    auto deliver = [&](std::size_t q, std::span<const ScoredEntry> list) { write_row(list, store.ids(), out, first + q); };
    TRY(rank_in_chunks(plan, store.len(), slab.size(), top_k, rank, deliver, &interruption));
  }
  return {};
}

}  // namespace tessaly
