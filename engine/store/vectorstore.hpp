// The store: an append-only list of float vectors of one dimension, each
// tagged with a caller-chosen 64-bit identifier, and, if asked for, a
// compact copy of them (int8_copy.hpp) that every addition keeps in step.
// Searching it is another layer's work (engine/search/), which reads it
// through blocks(), ids() and int8_copy().
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

#include "engine/base/array.hpp"
#include "engine/base/engine_error.hpp"
#include "engine/store/blocks.hpp"
#include "engine/store/int8_copy.hpp"

namespace tessaly {

// What a store keeps beside its float vectors and ids.
enum class CompactCopy { none, int8 };

class Vectorstore {
 public:
  explicit Vectorstore(std::size_t vector_size, CompactCopy copy = CompactCopy::none) noexcept;

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
  // The compact copy, if the store keeps one.
  const Int8Copy* int8_copy() const noexcept { return int8_ ? &*int8_ : nullptr; }
  CompactCopy compact_copy() const noexcept { return int8_ ? CompactCopy::int8 : CompactCopy::none; }

 private:
  Blocks blocks_;
  Array<std::uint64_t> ids_;
  std::optional<Int8Copy> int8_;
};

// "vector has length 3 but vectorstore expects 2".
EngineError vector_length_error(std::size_t length, std::size_t expected) noexcept;

}  // namespace tessaly
