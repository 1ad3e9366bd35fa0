// The searches of a store for one query, on the calling thread or on
// per-call worker threads (batch_search.hpp answers many at once). Every
// search ranks by the same rule (see top_selection.hpp) with the bits of
// the one cosine kernel, so they all give the same lists.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "engine/base/array.hpp"
#include "engine/base/engine_error.hpp"
#include "engine/runtime/kernel_path.hpp"
#include "engine/search/results.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {

// The first `top_k` entries by descending cosine score, ties in insertion
// order, scored on the calling thread (on the best kernel path, unless told
// which).
EngineResult<Array<ResultPair>> search(const Vectorstore& store, std::span<const float> query, std::size_t top_k,
                                       KernelPath path = best_kernel_path()) noexcept;

// The same ranking, scored by per-call worker threads over contiguous
// chunks. `n_threads` absent means the processors available to the process.
EngineResult<Array<ResultPair>> parallel_search(const Vectorstore& store, std::span<const float> query,
                                                std::size_t top_k, std::optional<std::size_t> n_threads) noexcept;

// "query has length 3 but vectorstore expects 2".
EngineError query_length_error(std::size_t length, std::size_t expected) noexcept;

}  // namespace tessaly
