// A store's compact copy: every entry again as int8 elements with a scale
// of its own (int8_quantization.hpp), a quarter of the float bytes, for a
// first pass that finds which entries can rank before the float kernel
// scores them.
//
// The elements live in blocks of 16 entries, four elements per lane: line j
// of a block (64 bytes) holds elements 4j to 4j+3 of its 16 entries, entry
// 16b+e at bytes 4e to 4e+3, so that a 32-bit lane holds four elements of
// one entry, as integer dot instructions take them (vpdpbusd, sdot). A block
// has ceil(d / 4) lines; elements past d are 0. Beside them, each entry's
// terms, in insertion order, alphas and betas in arrays of their own so
// that bounds are computed many lanes at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/base/array.hpp"
#include "engine/store/block_chunks.hpp"
#include "engine/store/int8_quantization.hpp"

namespace tessaly {

// Elements per lane of a line.
inline constexpr std::size_t kInt8LaneElements = 4;

class Int8Copy {
 public:
  explicit Int8Copy(std::size_t dimension) noexcept;

  // Room for `entries` entries in all; false (and nothing changed but room)
  // if the memory cannot be had.
  [[nodiscard]] bool try_reserve(std::size_t entries) noexcept;

  // Appends `count` rows of the dimension's floats each, `row_bytes` apart
  // from `rows` on, as entries size() onward, within the room reserved.
  void append_rows(const char* rows, std::ptrdiff_t row_bytes, std::size_t count) noexcept;
  // Drops every entry from `entries` on; their lanes are zeros again.
  void truncate(std::size_t entries) noexcept;

  std::size_t size() const noexcept { return alphas_.size(); }
  std::size_t dimension() const noexcept { return dimension_; }
  // Lines per block: ceil(dimension / 4).
  std::size_t lines() const noexcept { return lines_; }
  std::span<const float> alphas() const noexcept { return alphas_; }
  std::span<const float> betas() const noexcept { return betas_; }
  // Element `element` of `entry`.
  std::int8_t at(std::size_t entry, std::size_t element) const noexcept;

  // Calls visit(blocks, first_block, count) for the blocks from
  // `first_block` to `end_block` (exclusive), in order, as runs of at most
  // `most` blocks that lie back to back in memory.
  template <class Visit>
  void for_each_run(std::size_t first_block, std::size_t end_block, std::size_t most,
                    Visit&& visit) const noexcept {
    chunks_.for_each_run(first_block, end_block, most, [&](const char* blocks, std::size_t block, std::size_t count) {
      visit(reinterpret_cast<const std::int8_t*>(blocks), block, count);
    });
  }

 private:
  std::int8_t* lane(std::size_t entry) const noexcept;

  std::size_t dimension_;
  std::size_t lines_;
  BlockChunks chunks_;
  Array<float> alphas_;
  Array<float> betas_;
};

}  // namespace tessaly
