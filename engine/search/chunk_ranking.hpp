// The fan-out every parallel search shares: one worker per chunk ranks
// every query over its chunk, and the lists are merged per query in chunk
// order.
#pragma once

#include <cstddef>
#include <span>

#include "engine/base/engine_error.hpp"
#include "engine/base/function_ref.hpp"
#include "engine/runtime/interruption.hpp"
#include "engine/runtime/worker_plan.hpp"
#include "engine/search/batch_selection.hpp"
#include "engine/search/top_selection.hpp"

namespace tessaly {

// Ranks `queries` queries over `entries` entries (at least one), one worker
// thread per chunk of the plan: rank(first, last) gives every query's list
// over entries [first, last). On the calling thread, deliver(q, list) then
// gets query q's merged list, best first. Selection is by a total order that
// ends in insertion order, and an entry cut from its chunk's list has top_k
// entries of that chunk ahead of it, so each list is what one pass over the
// whole store would rank.
EngineResult<void> rank_in_chunks(const ChunkPlan& plan, std::size_t entries, std::size_t queries,
                                  std::size_t top_k,
                                  FunctionRef<EngineResult<RankedRows>(std::size_t, std::size_t)> rank,
                                  FunctionRef<void(std::size_t, std::span<const ScoredEntry>)> deliver,
                                  Interruption* interruption = nullptr) noexcept;

// The same over chunks of any sizes: chunk w holds entries bounds[w] to
// bounds[w + 1], one worker each.
EngineResult<void> rank_in_chunks(std::span<const std::size_t> bounds, std::size_t queries, std::size_t top_k,
                                  FunctionRef<EngineResult<RankedRows>(std::size_t, std::size_t)> rank,
                                  FunctionRef<void(std::size_t, std::span<const ScoredEntry>)> deliver,
                                  Interruption* interruption = nullptr) noexcept;

}  // namespace tessaly
