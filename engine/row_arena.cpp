#include "engine/row_arena.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace tessaly {
namespace {

constexpr std::size_t kAlignment = 16;
constexpr std::size_t kFirstChunk = std::size_t{64} << 10;
constexpr std::size_t kLargestChunk = std::size_t{64} << 20;
// Chunks this large are mapped on their own, aligned to and advised for
// 2 MiB pages; smaller ones come from the allocator (a few small stores must
// not each hold a huge page).
constexpr std::size_t kMappedChunk = std::size_t{4} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t round_up(std::size_t value, std::size_t to) noexcept {
  return (value + to - 1) / to * to;
}

}  // namespace

struct RowArena::Chunk {
  Chunk* older;
  void* mapping;  // what to unmap (null: the chunk came from malloc)
  std::size_t mapped_bytes;
  char* end;
  // The carves follow the header, aligned.
  char* begin() noexcept {
    return reinterpret_cast<char*>(round_up(reinterpret_cast<std::uintptr_t>(this + 1), kAlignment));
  }
};

RowArena::~RowArena() {
  while (newest_ != nullptr) {
    Chunk* older = newest_->older;
    if (newest_->mapping != nullptr) {
      munmap(newest_->mapping, newest_->mapped_bytes);
    } else {
      std::free(newest_);
    }
    newest_ = older;
  }
}

float* RowArena::carve(std::size_t count) noexcept {
  if (count > (SIZE_MAX - 2 * kHugePage) / sizeof(float)) return nullptr;
  const std::size_t bytes = round_up(count * sizeof(float), kAlignment);
  if (newest_ == nullptr || static_cast<std::size_t>(newest_->end - top_) < bytes) {
    next_bytes_ = std::clamp(next_bytes_ * 2, kFirstChunk, kLargestChunk);
    const std::size_t wanted = std::max(next_bytes_, bytes + sizeof(Chunk) + kAlignment);
    Chunk* chunk = nullptr;
    if (wanted >= kMappedChunk) {
      // Over-map by a huge page, then cut the start down to a 2 MiB boundary.
      const std::size_t mapped = round_up(wanted, kHugePage) + kHugePage;
      void* mapping = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (mapping == MAP_FAILED) return nullptr;
      auto* start = reinterpret_cast<char*>(round_up(reinterpret_cast<std::uintptr_t>(mapping), kHugePage));
      madvise(start, mapped - static_cast<std::size_t>(start - static_cast<char*>(mapping)), MADV_HUGEPAGE);
      chunk = new (start) Chunk{newest_, mapping, mapped, static_cast<char*>(mapping) + mapped};
    } else {
      void* block = std::malloc(wanted);
      if (block == nullptr) return nullptr;
      chunk = new (block) Chunk{newest_, nullptr, 0, static_cast<char*>(block) + wanted};
    }
    newest_ = chunk;
    top_ = chunk->begin();
  }
  last_ = top_;
  top_ += bytes;
  return reinterpret_cast<float*>(last_);
}

bool RowArena::resize_last(float* data, std::size_t count) noexcept {
  if (reinterpret_cast<char*>(data) != last_ || last_ == nullptr) return false;
  if (count > static_cast<std::size_t>(newest_->end - last_) / sizeof(float)) return false;
  top_ = last_ + round_up(count * sizeof(float), kAlignment);
  return true;
}

void RowArena::give_back(float* data) noexcept {
  if (reinterpret_cast<char*>(data) == last_ && last_ != nullptr) {
    top_ = last_;
    last_ = nullptr;
  }
}

}  // namespace tessaly
