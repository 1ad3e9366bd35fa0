// The body the batch methods share: search_batch, parallel_search_batch and
// search_arrays differ only in who scores and what the results become.
#pragma once

#include <cstddef>
#include <optional>

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "binding/ref.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {

enum class BatchWorkers {
  calling_thread,  // search_batch
  per_call,        // parallel_search_batch: worker threads for the call
  as_requested,    // search_arrays: workers, unless the plan has one only
};

enum class BatchResultForm {
  lists,   // a list of lists of (float, int) tuples
  arrays,  // (scores, ids): numpy float32 and uint64 arrays of shape (m, k)
};

// Converts the arguments in order (vectors, top_k, then n_threads when
// given: null means the method has no such parameter), checks the query
// lengths, and answers every query, slab by slab, the engine's work without
// the interpreter lock.
Result<Ref> search_batch_call(const Vectorstore& store, PyObject* vectors, PyObject* top_k,
                              PyObject* n_threads, BatchWorkers workers, BatchResultForm form) noexcept;

}  // namespace tessaly
