// The body the batch methods share: search_batch, parallel_search_batch and
// search_arrays differ only in who scores and what the results become.
#pragma once

#include <cstddef>

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "binding/query_batch.hpp"
#include "binding/ref.hpp"
#include "engine/search/batch_search.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {

enum class BatchResultForm {
  lists,   // a list of lists of (float, int) tuples
  arrays,  // (scores, ids): numpy float32 and uint64 arrays of shape (m, k)
};

// Answers every query, the engine's work without the interpreter lock.
// search_batch scores on the calling thread, parallel_search_batch on
// worker threads, search_arrays on workers unless the plan has one only,
// and only over the entries `mask` selects, if there is one.
Result<Ref> search_batch_call(const Vectorstore& store, QueryBatchInput& queries, std::size_t top_k,
                              WorkerRequest workers, BatchResultForm form,
                              const EntryMask* mask = nullptr) noexcept;

}  // namespace tessaly
