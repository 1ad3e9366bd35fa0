// Which of a store's entries a search ranks, when not all: one bit per
// entry, sixteen to a block as the blocks hold them, so that a run of
// scores is masked with one AND and a block with nothing selected is seen
// as a zero word. A masked search ranks exactly as a store of the selected
// rows alone would: scores do not depend on the other entries, and ties
// keep insertion order, which the selected rows keep among themselves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/base/array.hpp"
#include "engine/base/engine_error.hpp"
#include "engine/store/block_chunks.hpp"

namespace tessaly {

// Entries first to last (exclusive).
struct EntrySpan {
  std::size_t first;
  std::size_t last;
};

class EntryMask {
 public:
  // From `count` bytes, `stride` bytes apart from `bytes` on: an entry is
  // selected where its byte is not zero. Fails only for memory.
  static EngineResult<EntryMask> from_bytes(const unsigned char* bytes, std::ptrdiff_t stride,
                                            std::size_t count) noexcept;

  std::size_t size() const noexcept { return size_; }
  // How many entries of first to last are selected.
  std::size_t selected(std::size_t first, std::size_t last) const noexcept;
  std::size_t selected() const noexcept { return selected_; }
  // Bit j: whether entry `entry + j` is selected (none past the end).
  std::uint32_t run(std::size_t entry) const noexcept {
    const std::size_t block = entry / kBlockLanes, shift = entry % kBlockLanes;
    const std::uint32_t pair = words_[block] | static_cast<std::uint32_t>(words_[block + 1]) << kBlockLanes;
    return (pair >> shift) & 0xFFFFu;
  }

  // Word b: the bits of block b's entries (bit j: entry 16b + j), and two
  // zero words past the last block.
  const std::uint16_t* words() const noexcept { return words_.data(); }

  // The parts of first to last worth reading, in order: each starts and
  // ends with a selected entry, and what lies between two of them is a
  // stretch of whole blocks with nothing selected, long enough that
  // skipping it pays for starting again. Nothing, if nothing is selected.
  EngineResult<Array<EntrySpan>> spans(std::size_t first, std::size_t last) const noexcept;

 private:
  Array<std::uint16_t> words_;  // a word per block, and two zero words after
  std::size_t size_ = 0;
  std::size_t selected_ = 0;
};

// Entries first to last that `mask` selects (all, if there is no mask).
inline std::size_t selected_entries(const EntryMask* mask, std::size_t first, std::size_t last) noexcept {
  if (first >= last) return 0;
  return mask != nullptr ? mask->selected(first, last) : last - first;
}

}  // namespace tessaly
