// The store: an append-only list of float vectors of one dimension, each
// tagged with a caller-chosen 64-bit identifier, searched exhaustively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "engine/array.hpp"
#include "engine/engine_error.hpp"
#include "engine/float_vector.hpp"
#include "engine/kernel_path.hpp"
#include "engine/row_arena.hpp"

namespace tessaly {

struct StoredVector {
  FloatVector vector;
  std::uint64_t id;
};

// A (vector, identifier) pair converted for the constructor: already laid
// out as an entry, so that the converted list becomes the store's own.
using VectorPair = StoredVector;

// One line of a search result, best first.
struct ResultPair {
  float score;
  std::uint64_t id;
};

class Vectorstore {
 public:
  explicit Vectorstore(std::size_t vector_size) noexcept : vector_size_(vector_size) {}

  // Takes the pairs, in order, as the entries, and the arena their arrays
  // were carved from (if any); the first vector of the wrong length fails
  // the whole construction. Neither the arrays nor the list are copied.
  static EngineResult<Vectorstore> from_pairs(std::size_t vector_size, Array<VectorPair> pairs,
                                              std::unique_ptr<RowArena> arena = nullptr);

  // Where the array of a vector meant for insert() is best carved from (made
  // on first need; null if it cannot be made, and the heap serves).
  RowArena* arena() noexcept;

  // Appends one entry, or leaves the store unchanged on a length mismatch
  // or when the entry list cannot grow.
  EngineResult<void> insert(FloatVector vector, std::uint64_t id);

  std::size_t len() const noexcept { return vectors_.size(); }
  std::size_t vector_size() const noexcept { return vector_size_; }
  std::span<const StoredVector> entries() const noexcept { return vectors_; }

  // The first `top_k` entries by descending cosine score, ties in insertion
  // order, scored on the calling thread (on the best kernel path, unless
  // told which).
  EngineResult<Array<ResultPair>> search(std::span<const float> query, std::size_t top_k,
                                         KernelPath path = best_kernel_path()) const;

  // The same ranking, scored by per-call worker threads over contiguous
  // chunks. `n_threads` absent means the processors available to the process.
  EngineResult<Array<ResultPair>> parallel_search(std::span<const float> query, std::size_t top_k,
                                                  std::optional<std::size_t> n_threads) const;

 private:
  EngineError query_length_error(std::size_t length) const noexcept;

  std::unique_ptr<RowArena> arena_;  // outlives the entries carved from it
  Array<StoredVector> vectors_;
  std::size_t vector_size_;
};

}  // namespace tessaly
