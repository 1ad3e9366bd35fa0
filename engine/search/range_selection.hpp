// Selection over a range of a store's entries: the best top_k of entries
// [first, last) for one query, or for each query of a batch in one pass.
// Every search is made of these: over the whole store on the calling
// thread, or over one chunk per worker (worker_plan.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/base/array.hpp"
#include "engine/base/engine_error.hpp"
#include "engine/runtime/interruption.hpp"
#include "engine/runtime/kernel_path.hpp"
#include "engine/search/query_rows.hpp"
#include "engine/search/results.hpp"
#include "engine/search/top_selection.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {

// Scores the store's entries `first` to `last` (exclusive) against the
// query on the given kernel path, and returns the `top_k` best, ranked.
EngineResult<Array<ScoredEntry>> select_top(const Vectorstore& store, std::span<const float> query,
                                            std::size_t top_k, std::size_t first, std::size_t last,
                                            KernelPath path) noexcept;

// Ranked lists of several queries, each of `width` entries, back to back.
struct RankedRows {
  Array<ScoredEntry> entries;
  std::size_t width = 0;

  std::span<const ScoredEntry> row(std::size_t query) const noexcept {
    return {entries.data() + query * width, width};
  }
};

// The queries one pass of a batch answers, and how it reads the store
// (batch_search.cpp sizes both).
struct BatchPass {
  const QueryRows* queries;
  std::size_t first_query;
  std::size_t query_count;
  std::size_t top_k;
  KernelPath path;
  std::size_t tile_blocks;  // the most blocks scored against every group at a time
};

// select_top for every query of the pass, in one pass over entries `first`
// to `last` (exclusive); each list has min(top_k, last - first) entries.
// Stops early, failing with interrupted, when `interruption` is requested.
EngineResult<RankedRows> select_top_batch(const Vectorstore& store, const BatchPass& pass, std::size_t first,
                                          std::size_t last, Interruption& interruption) noexcept;

EngineResult<Array<ResultPair>> to_result_pairs(std::span<const ScoredEntry> list,
                                                std::span<const std::uint64_t> ids) noexcept;

}  // namespace tessaly
