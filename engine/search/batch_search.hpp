// Many queries in one pass over the store: every line of a block is read
// once for a group of queries held in registers, so a batch runs at the
// processor's arithmetic rate rather than its memory's. Row q of the
// results is exactly what search() gives query q, whatever the batch, the
// query's place in it, and who scores it.
#pragma once

#include <cstddef>
#include <optional>

#include "engine/base/engine_error.hpp"
#include "engine/runtime/interruption.hpp"
#include "engine/runtime/kernel_path.hpp"
#include "engine/runtime/worker_plan.hpp"
#include "engine/search/entry_mask.hpp"
#include "engine/search/query_rows.hpp"
#include "engine/search/results.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {

// Who scores a batch.
struct WorkerRequest {
  enum class Mode {
    calling_thread,       // the calling thread alone
    per_call,             // worker threads started for the call, over contiguous chunks
    per_call_unless_one,  // the same, but the calling thread when the plan has one worker
  };
  Mode mode = Mode::calling_thread;
  std::optional<std::size_t> n_threads;  // workers requested: absent, the processors available
};

class BatchSearch {
 public:
  // Checks the queries' lengths (the first of the wrong length fails the
  // batch) and plans the workers. The store and the queries must outlive
  // the plan; nothing is read from them but their shape yet.
  // With a mask (of the store's length, outliving the plan), only the
  // entries it selects are ranked, as in a store of those rows alone; the
  // workers' chunks then share out the parts worth reading.
  static EngineResult<BatchSearch> plan(const Vectorstore& store, const QueryRows& queries, std::size_t top_k,
                                        WorkerRequest workers, KernelPath path = best_kernel_path(),
                                        const EntryMask* mask = nullptr) noexcept;

  // The shape of the results: a row per query of width min(top_k, entries
  // ranked).
  std::size_t rows() const noexcept { return queries_->size(); }
  std::size_t width() const noexcept { return result_width(top_k_, selected_entries(mask_, 0, store_->len())); }

  // Writes every row of `out` (rows() rows of width()). Stops early when
  // `interruption` is requested, failing with interrupted (the rows then
  // hold nothing useful).
  EngineResult<void> run(ResultRows out, Interruption& interruption) const noexcept;

 private:
  BatchSearch(const Vectorstore& store, const QueryRows& queries, std::size_t top_k, KernelPath path,
              const EntryMask* mask) noexcept
      : store_(&store), queries_(&queries), top_k_(top_k), path_(path), mask_(mask) {}

  const Vectorstore* store_;
  const QueryRows* queries_;
  std::size_t top_k_;
  KernelPath path_;
  const EntryMask* mask_;
  Array<std::size_t> chunk_bounds_;  // empty: on the calling thread; else chunk w is bounds w to w + 1
  std::size_t pass_queries_ = 1;
  std::size_t tile_blocks_ = 1;
  std::size_t int8_tile_blocks_ = 1;
};

}  // namespace tessaly
