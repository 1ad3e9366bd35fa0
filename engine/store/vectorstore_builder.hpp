// Adding vectors to a store all or nothing, under one rule for lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "engine/base/engine_error.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {

// Adds to a store, new or not, which it leaves exactly as it found it
// unless finish() succeeds: whatever stops the adding (a wrong length, an
// allocation, the caller giving up), the entries added so far are dropped.
// Every vector is looked at, but only the first of the wrong length counts:
// it fails the whole call in finish(), after the last one.
class VectorstoreBuilder {
 public:
  explicit VectorstoreBuilder(Vectorstore& store) noexcept : store_(store), start_(store.len()) {}
  VectorstoreBuilder(const VectorstoreBuilder&) = delete;
  VectorstoreBuilder& operator=(const VectorstoreBuilder&) = delete;
  ~VectorstoreBuilder() {
    if (!finished_) store_.truncate(start_);
  }

  std::size_t vector_size() const noexcept { return store_.vector_size(); }

  // How many vectors to make room for when the first one is added (a hint:
  // if that room cannot be had, each vector finds its own).
  void expect(std::size_t vectors) noexcept { expected_ = vectors; }
  // Fails only when memory cannot be had.
  EngineResult<void> add(std::span<const float> vector, std::uint64_t id) noexcept;

  // Room for `count` vectors of `length` floats each, to be added with
  // add_reserved; false when there is nothing to add: no vector, or a wrong
  // length (the first wrong one, if it is the first). Fails only when
  // memory cannot be had.
  EngineResult<bool> reserve(std::size_t count, std::size_t length) noexcept;
  // Vectors within the room reserve() made, as Vectorstore::append_reserved
  // takes them. Touches no Python object: it may run without the lock.
  void add_reserved(const char* rows, std::ptrdiff_t row_bytes, std::span<const std::uint64_t> ids) noexcept {
    store_.append_reserved(rows, row_bytes, ids);
  }

  // Keeps what was added, unless a vector had the wrong length. After
  // success the builder no longer touches the store.
  EngineResult<void> finish() && noexcept;

 private:
  // The first vector of the wrong length; false if this is not one.
  bool mismatched(std::size_t length) noexcept;

  Vectorstore& store_;
  std::size_t start_;                    // the entries it had, kept whatever happens
  std::size_t expected_ = 0;
  std::optional<std::size_t> mismatch_;  // the length of the first wrong vector
  bool finished_ = false;
};

}  // namespace tessaly
