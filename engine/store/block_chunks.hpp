// The memory a store's blocks live in: blocks of 16 entries, `block_bytes`
// each, back to back in chunks that the store owns.
//
// Chunks double in size as the store grows (from 64 KiB to 64 MiB); those
// of 4 MiB or more are mapped on their own, 2 MiB-aligned and advised for
// huge pages, so that a scan of a big store does not miss the TLB every
// few blocks. Growth adds chunks and never moves a block. Chunk memory
// starts zeroed, so the lanes of the last block that no entry holds yet are
// zeros. Every block starts on a 64-byte line.
#pragma once

#include <cstddef>

#include "engine/base/array.hpp"

namespace tessaly {

inline constexpr std::size_t kBlockLanes = 16;

class BlockChunks {
 public:
  explicit BlockChunks(std::size_t block_bytes) noexcept : block_bytes_(block_bytes) {}
  BlockChunks(BlockChunks&& other) noexcept;
  BlockChunks& operator=(BlockChunks&& other) noexcept;
  BlockChunks(const BlockChunks&) = delete;
  BlockChunks& operator=(const BlockChunks&) = delete;
  ~BlockChunks();

  // Room for `entries` entries in all; false (and nothing changed) if the
  // memory cannot be had. The missing room comes as one chunk, at least as
  // large as growth would make the next one. Blocks of no bytes take no room.
  [[nodiscard]] bool try_reserve(std::size_t entries) noexcept;

  // Entries that fit without another chunk.
  std::size_t capacity() const noexcept { return capacity_; }
  std::size_t block_bytes() const noexcept { return block_bytes_; }

  // Where block `block` (within capacity) starts; null for blocks of no bytes.
  char* block_address(std::size_t block) const noexcept;

  // Calls visit(blocks, first_block, count) for the blocks from
  // `first_block` to `end_block` (exclusive, within capacity), in order,
  // as runs of at most `most` blocks that lie back to back in memory.
  template <class Visit>
  void for_each_run(std::size_t first_block, std::size_t end_block, std::size_t most,
                    Visit&& visit) const noexcept {
    while (first_block < end_block) {
      const Run run = run_at(first_block);
      std::size_t count = end_block - first_block;
      if (count > run.count) count = run.count;
      if (count > most) count = most;
      visit(static_cast<const char*>(run.blocks), first_block, count);
      first_block += count;
    }
  }

 private:
  struct Chunk {
    char* blocks;
    std::size_t first_block;
    std::size_t block_count;
    void* memory;       // what to release
    std::size_t bytes;  // of a mapping; 0: the memory came from calloc
  };
  struct Run {
    const char* blocks;
    std::size_t count;  // blocks from there to the end of its chunk
  };

  Run run_at(std::size_t block) const noexcept;
  void release() noexcept;

  std::size_t block_bytes_;
  std::size_t capacity_ = 0;  // in entries
  std::size_t next_bytes_ = 0;
  Array<Chunk> chunks_;
};

}  // namespace tessaly
