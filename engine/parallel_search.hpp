// How a parallel search cuts the store among its workers, and the fan-out
// every parallel search shares: one worker per chunk ranks every query over
// its chunk, and the lists are merged per query in chunk order.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "engine/engine_error.hpp"
#include "engine/function_ref.hpp"
#include "engine/interruption.hpp"
#include "engine/ranking.hpp"

namespace tessaly {

// Contiguous chunks of `chunk_size` entries, the last one taking the rest.
struct ChunkPlan {
  std::size_t chunk_size;  // ceil(entries / workers requested), at least 1
  std::size_t workers;     // ceil(entries / chunk_size): never above either input

  // The first entry of chunk `worker` and the one after its last.
  std::size_t first(std::size_t worker) const noexcept { return worker * chunk_size; }
  std::size_t last(std::size_t worker, std::size_t entries) const noexcept {
    return first(worker) + (entries - first(worker) < chunk_size ? entries - first(worker) : chunk_size);
  }
};

// For entries >= 1 and requested >= 1.
ChunkPlan plan_chunks(std::size_t entries, std::size_t requested) noexcept;

// The plan of a call: `n_threads` workers requested, absent meaning the
// processors available (4 if they cannot be had), 0 meaning 1.
ChunkPlan plan_workers(std::size_t entries, std::optional<std::size_t> n_threads) noexcept;

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

}  // namespace tessaly
