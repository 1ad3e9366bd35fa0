// Selection over a range of a store's entries for every query of a batch,
// in one pass: the range is read in tiles of blocks that stay in the
// processor's L2 cache, every group of queries scored against a tile
// there, each line loaded once per group, the first group also summing the
// tile's squared norms, while the next tile is fetched into the cache a
// share per group. So memory is read once per pass, under the arithmetic,
// and a score costs one multiply and one add per element, as for a single
// query: the bits are search()'s, whatever the batch and a query's place in
// it. Where the store keeps an int8 copy, covered queries take two stages
// (first_pass_batch.hpp).
#pragma once

#include <cstddef>
#include <span>

#include "engine/base/array.hpp"
#include "engine/base/engine_error.hpp"
#include "engine/runtime/interruption.hpp"
#include "engine/runtime/kernel_path.hpp"
#include "engine/search/entry_mask.hpp"
#include "engine/search/query_rows.hpp"
#include "engine/search/top_selection.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {

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
  std::size_t tile_blocks;       // the most blocks scored against every group at a time
  std::size_t int8_tile_blocks;  // the same for the first pass's int8 blocks
  const EntryMask* mask;         // the entries ranked; null: all
};

// select_top for every query of the pass, in one pass over entries `first`
// to `last` (exclusive) that the pass's mask selects; each list has
// min(top_k, those entries) entries. Blocks of the range with nothing
// selected are mostly never read (EntryMask::spans). Stops early, failing
// with interrupted, when `interruption` is requested.
EngineResult<RankedRows> select_top_batch(const Vectorstore& store, const BatchPass& pass, std::size_t first,
                                          std::size_t last, Interruption& interruption) noexcept;


// The float scan of a pass, for some of its queries: the entries of
// `spans` (in entry order) scored against queries `queries` (indices into
// pass.queries), in groups, every query's scores of the entries the pass's
// mask selects offered in entry order to its selection (selections[i] for
// queries[i]).
EngineResult<void> scan_in_tiles(const Vectorstore& store, const BatchPass& pass,
                                 std::span<const std::size_t> queries, std::span<TopSelection* const> selections,
                                 std::span<const EntrySpan> spans, Interruption& interruption) noexcept;

}  // namespace tessaly
