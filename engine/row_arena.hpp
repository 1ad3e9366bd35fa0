// Large chunks of memory from which the arrays of stored vectors are carved,
// one after another.
//
// A search reads every entry's array in store order. Carved back to back
// (16-byte aligned, no allocator header between them), the arrays of a store
// form long runs of whole cache lines that the prefetchers follow, and the
// large chunks lie in huge pages where the system grants them, so that a scan
// of a big store does not miss the TLB every few entries. Each entry still
// owns its array: nothing is shared and nothing is copied into the arena
// afterwards; conversions write straight into it. Memory goes back to the
// system with the arena, except that a rejected array carved last (an insert
// that fails) is taken back at once.
#pragma once

#include <cstddef>

namespace tessaly {

class RowArena {
 public:
  RowArena() noexcept = default;
  RowArena(const RowArena&) = delete;
  RowArena& operator=(const RowArena&) = delete;
  ~RowArena();

  // Room for `count` floats, 16-byte aligned; null if memory cannot be had.
  float* carve(std::size_t count) noexcept;
  // Grows or shrinks the most recent carve, which `data` must be, in place;
  // false if it is not the most recent one or there is no room.
  bool resize_last(float* data, std::size_t count) noexcept;
  // Returns an array that will not be used: taken back if it was the most
  // recent carve, otherwise kept until the arena goes.
  void give_back(float* data) noexcept;

 private:
  struct Chunk;
  Chunk* newest_ = nullptr;
  char* top_ = nullptr;   // first free byte of the newest chunk
  char* last_ = nullptr;  // start of the most recent carve
  std::size_t next_bytes_ = 0;
};

}  // namespace tessaly
