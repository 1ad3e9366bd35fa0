// What a search gives back, and the queries a batch takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

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

// Results per query from a store of `entries` entries: min(top_k, entries).
inline std::size_t result_width(std::size_t top_k, std::size_t entries) noexcept {
  return top_k < entries ? top_k : entries;
}

}  // namespace tessaly
