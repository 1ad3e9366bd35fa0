// Selection over a range of a store's entries: the best top_k of entries
// [first, last) for one query (batch_selection.hpp does it for a batch).
// Every search is made of these: over the whole store on the calling
// thread, or over one chunk per worker (worker_plan.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/base/array.hpp"
#include "engine/base/engine_error.hpp"
#include "engine/runtime/kernel_path.hpp"
#include "engine/search/results.hpp"
#include "engine/search/top_selection.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {

// Scores the store's entries `first` to `last` (exclusive) against the
// query on the given kernel path, and returns the `top_k` best, ranked.
EngineResult<Array<ScoredEntry>> select_top(const Vectorstore& store, std::span<const float> query,
                                            std::size_t top_k, std::size_t first, std::size_t last,
                                            KernelPath path) noexcept;

EngineResult<Array<ResultPair>> to_result_pairs(std::span<const ScoredEntry> list,
                                                std::span<const std::uint64_t> ids) noexcept;

}  // namespace tessaly
