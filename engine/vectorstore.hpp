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
#include "engine/interruption.hpp"
#include "engine/kernel_path.hpp"

namespace tessaly {

// One line of a search result, best first.
struct ResultPair {
  float score;
  std::uint64_t id;
};

// Queries of a batch, each the caller's own array.
using QueryBatch = std::span<const std::span<const float>>;

// Where a batch's results go: row q of two arrays of `width` columns (the
// width being min(top_k, len())), scores[q * width + r] and ids[...] alike.
struct ResultRows {
  float* scores;
  std::uint64_t* ids;
  std::size_t width;
};

class Vectorstore {
 public:
  explicit Vectorstore(std::size_t vector_size) noexcept : blocks_(vector_size) {}

  // Room for `entries` entries in all, so that adding that many allocates
  // nothing more; false if the memory cannot be had.
  [[nodiscard]] bool try_reserve(std::size_t entries) noexcept;

  // Appends one entry, or leaves the store exactly as it was on a length
  // mismatch or when memory cannot be had.
  EngineResult<void> insert(std::span<const float> vector, std::uint64_t id) noexcept;

  // Appends `ids.size()` entries whose vectors (vector_size() floats each)
  // lie `row_bytes` apart from `rows` on, within room already reserved
  // (try_reserve).
  void append_reserved(const char* rows, std::ptrdiff_t row_bytes, std::span<const std::uint64_t> ids) noexcept;
  // Drops every entry from `entries` on, leaving the store as it was when it
  // had that many (the room stays).
  void truncate(std::size_t entries) noexcept;

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

  // Row q of `out` gets exactly what search() gives query q, from passes
  // over the store in which every line of a block is read once for a group
  // of queries; on the calling thread. The first query of the wrong length
  // fails the whole batch, before anything is written. The call stops early
  // when `interruption` is requested (and the rows hold nothing useful).
  EngineResult<void> search_batch(QueryBatch queries, std::size_t top_k, ResultRows out,
                                  Interruption& interruption,
                                  KernelPath path = best_kernel_path()) const noexcept;

  // The same rows, from per-call worker threads over contiguous chunks.
  EngineResult<void> parallel_search_batch(QueryBatch queries, std::size_t top_k,
                                           std::optional<std::size_t> n_threads, ResultRows out,
                                           Interruption& interruption) const noexcept;

  // Results per query: min(top_k, len()).
  std::size_t result_width(std::size_t top_k) const noexcept { return top_k < len() ? top_k : len(); }

  EngineError query_length_error(std::size_t length) const noexcept;
  // The error of the first query of the wrong length, if any.
  EngineResult<void> check_query_lengths(QueryBatch queries) const noexcept;

 private:
  Blocks blocks_;
  Array<std::uint64_t> ids_;
};

// "vector has length 3 but vectorstore expects 2".
EngineError vector_length_error(std::size_t length, std::size_t expected) noexcept;

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
