// The store: an append-only list of float vectors of one dimension, each
// tagged with a caller-chosen 64-bit identifier, searched exhaustively.
//
// The floats live in blocks of 16 entries (blocks.hpp), the identifiers in
// their own array, both in insertion order: an entry is its position, and
// nothing else is kept per entry. Each vector is copied once, into its
// block, when it is added.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "engine/array.hpp"
#include "engine/blocks.hpp"
#include "engine/engine_error.hpp"
#include "engine/kernel_path.hpp"

namespace tessaly {

// One line of a search result, best first.
struct ResultPair {
  float score;
  std::uint64_t id;
};
using ResultList = Array<ResultPair>;

// Queries of a batch, each the caller's own array.
using QueryBatch = std::span<const std::span<const float>>;

class Vectorstore {
 public:
  explicit Vectorstore(std::size_t vector_size) noexcept : blocks_(vector_size) {}

  // Room for `entries` entries in all, so that adding that many allocates
  // nothing more; false if the memory cannot be had.
  [[nodiscard]] bool try_reserve(std::size_t entries) noexcept;

  // Appends one entry, or leaves the store exactly as it was on a length
  // mismatch or when memory cannot be had.
  EngineResult<void> insert(std::span<const float> vector, std::uint64_t id) noexcept;

  std::size_t len() const noexcept { return ids_.size(); }
  std::size_t vector_size() const noexcept { return blocks_.dimension(); }
  const Blocks& blocks() const noexcept { return blocks_; }
  std::span<const std::uint64_t> ids() const noexcept { return ids_; }

  // The first `top_k` entries by descending cosine score, ties in insertion
  // order, scored on the calling thread (on the best kernel path, unless
  // told which).
  EngineResult<Array<ResultPair>> search(std::span<const float> query, std::size_t top_k,
                                         KernelPath path = best_kernel_path()) const noexcept;

  // The same ranking, scored by per-call worker threads over contiguous
  // chunks. `n_threads` absent means the processors available to the process.
  EngineResult<Array<ResultPair>> parallel_search(std::span<const float> query, std::size_t top_k,
                                                  std::optional<std::size_t> n_threads) const noexcept;

  // One list per query, each exactly what search() gives it, from one pass
  // over the store: every line of a block is read once for a group of
  // queries. The first query of the wrong length fails the whole batch.
  EngineResult<Array<ResultList>> search_batch(QueryBatch queries, std::size_t top_k,
                                               KernelPath path = best_kernel_path()) const noexcept;

  // The same lists, from per-call worker threads over contiguous chunks.
  EngineResult<Array<ResultList>> parallel_search_batch(QueryBatch queries, std::size_t top_k,
                                                        std::optional<std::size_t> n_threads) const noexcept;

  EngineError query_length_error(std::size_t length) const noexcept;
  // The error of the first query of the wrong length, if any.
  EngineResult<void> check_query_lengths(QueryBatch queries) const noexcept;

 private:
  Blocks blocks_;
  Array<std::uint64_t> ids_;
};

// Builds a store from (vector, identifier) pairs given one by one. Every
// pair is looked at, but only the first vector of the wrong length counts:
// it fails the whole construction, after the last pair.
class VectorstoreBuilder {
 public:
  explicit VectorstoreBuilder(std::size_t vector_size) noexcept : store_(vector_size) {}

  std::size_t vector_size() const noexcept { return store_.vector_size(); }

  // How many pairs to make room for when the first one is added (a hint:
  // if that room cannot be had, each pair finds its own).
  void expect(std::size_t pairs) noexcept { expected_ = pairs; }
  // Fails only when memory cannot be had.
  EngineResult<void> add(std::span<const float> vector, std::uint64_t id) noexcept;
  EngineResult<Vectorstore> finish() && noexcept;

 private:
  Vectorstore store_;
  std::size_t expected_ = 0;
  std::optional<std::size_t> mismatch_;  // the length of the first wrong vector
};

}  // namespace tessaly
