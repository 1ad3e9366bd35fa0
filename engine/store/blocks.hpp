// Where a store's floats live: blocks of 16 entries, element-major.
//
// Block b holds entries 16b to 16b+15. Element i of those 16 entries is one
// 64-byte line: floats 16i to 16i+15 of the block, entry 16b+j in lane j. A
// scan reads the lines of block after block in address order, which every
// processor's prefetchers follow, and a SIMD register loaded from a line
// holds one element of 16 (or 8, or 4) entries: each lane scores its own
// entry with the scalar sequence, and no rearranging is needed. The blocks
// live in chunks (block_chunks.hpp) and never move.
#pragma once

#include <cstddef>

#include "engine/store/block_chunks.hpp"

namespace tessaly {

class Blocks {
 public:
  explicit Blocks(std::size_t dimension) noexcept;

  // Room for `entries` entries in all; false (and nothing changed) if the
  // memory cannot be had.
  [[nodiscard]] bool try_reserve(std::size_t entries) noexcept { return chunks_.try_reserve(entries); }

  // Entries that fit without another chunk.
  std::size_t capacity() const noexcept { return chunks_.capacity(); }
  std::size_t dimension() const noexcept { return dimension_; }
  // Floats per block.
  std::size_t block_floats() const noexcept { return dimension_ * kBlockLanes; }

  // Writes `row` (dimension() floats) into the lanes of `entry`, which must
  // lie within capacity().
  void write(std::size_t entry, const float* row) noexcept;
  // Writes `count` rows of dimension() floats each, `row_bytes` apart from
  // `rows` on, into entries `first` onward (within capacity()).
  void write_rows(std::size_t first, const char* rows, std::ptrdiff_t row_bytes, std::size_t count) noexcept;
  // Zeros the lanes of entries `first` to `last` (exclusive, within
  // capacity()), as they were before anything was written there.
  void clear(std::size_t first, std::size_t last) noexcept;
  // Element `element` of `entry`.
  float at(std::size_t entry, std::size_t element) const noexcept;
  // Block `block` (within capacity).
  const float* block(std::size_t block) const noexcept { return block_address(block); }

  // The entries of a run of blocks that lie in a range: `count` entries
  // from `first`, whose lanes start `lane` floats into the run's scores
  // (16 per block, in block order).
  struct Entries {
    std::size_t first;
    std::size_t count;
    std::size_t lane;
  };

  // Calls visit(blocks, block_count, entries) for the runs of at most `most`
  // blocks holding the entries `first` to `last` (exclusive, within
  // capacity): the whole blocks, to be scored, and which of their entries
  // lie in the range, to be offered.
  template <class Visit>
  void for_each_run_of_entries(std::size_t first, std::size_t last, std::size_t most,
                               Visit&& visit) const noexcept {
    for_each_run(first / kBlockLanes, (last + kBlockLanes - 1) / kBlockLanes, most,
                 [&](const float* blocks, std::size_t block, std::size_t count) {
                   const std::size_t start = block * kBlockLanes;
                   const std::size_t from = first > start ? first : start;
                   const std::size_t end = start + count * kBlockLanes;
                   visit(blocks, count, Entries{from, (last < end ? last : end) - from, from - start});
                 });
  }

  // Calls visit(blocks, first_block, count) for the blocks from
  // `first_block` to `end_block` (exclusive, within capacity), in order,
  // as runs of at most `most` blocks that lie back to back in memory.
  template <class Visit>
  void for_each_run(std::size_t first_block, std::size_t end_block, std::size_t most,
                    Visit&& visit) const noexcept {
    chunks_.for_each_run(first_block, end_block, most, [&](const char* blocks, std::size_t block, std::size_t count) {
      visit(reinterpret_cast<const float*>(blocks), block, count);
    });
  }

 private:
  float* block_address(std::size_t block) const noexcept {
    return reinterpret_cast<float*>(chunks_.block_address(block));
  }

  std::size_t dimension_;
  BlockChunks chunks_;
};

}  // namespace tessaly
