// A batch's covered queries in two stages (first_pass_selection.hpp says
// why the result is the same): the first pass reads the int8 copy of the
// range in tiles that stay in L2, every group of queries against a tile
// there, each line loaded once per group; each query keeps its own
// threshold and candidates. The candidates' blocks are then scored by the
// float kernel, query by query. Queries whose candidates grew past what
// pays are scanned together by the float batch scan, over the whole range.
#pragma once

#include <cstddef>
#include <span>

#include "engine/base/engine_error.hpp"
#include "engine/runtime/interruption.hpp"
#include "engine/search/batch_selection.hpp"
#include "engine/search/first_pass_bound.hpp"
#include "engine/search/top_selection.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {

// Offers the best of entries `first` to `last` that the pass's mask
// selects, read where `spans` (within them, in order) lie, to the
// selections of the pass's queries `queries` (quantized[i] and
// selections[i] for queries[i], every one covered), as scan_in_tiles
// would, in two stages.
EngineResult<void> select_batch_in_two_stages(const Vectorstore& store, const BatchPass& pass,
                                              std::span<const std::size_t> queries,
                                              std::span<const FirstPassQuery> quantized,
                                              std::span<TopSelection* const> selections, std::size_t first,
                                              std::size_t last, std::span<const EntrySpan> spans,
                                              Interruption& interruption) noexcept;

}  // namespace tessaly
