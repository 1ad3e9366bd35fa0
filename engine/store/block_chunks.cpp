#include "engine/store/block_chunks.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace tessaly {
namespace {

constexpr std::size_t kLineBytes = 64;
constexpr std::size_t kFirstChunk = std::size_t{64} << 10;
constexpr std::size_t kLargestChunk = std::size_t{64} << 20;
// Chunks this large are mapped on their own, aligned to and advised for
// 2 MiB pages; smaller ones come from the allocator (a few small stores must
// not each hold a huge page).
constexpr std::size_t kMappedChunk = std::size_t{4} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::uintptr_t round_up(std::uintptr_t value, std::size_t to) noexcept {
  return (value + to - 1) / to * to;
}

}  // namespace

BlockChunks::BlockChunks(BlockChunks&& other) noexcept
    : block_bytes_(other.block_bytes_),
      capacity_(std::exchange(other.capacity_, 0)),
      next_bytes_(std::exchange(other.next_bytes_, 0)),
      chunks_(std::move(other.chunks_)) {}

BlockChunks& BlockChunks::operator=(BlockChunks&& other) noexcept {
  if (this != &other) {
    release();
    block_bytes_ = other.block_bytes_;
    capacity_ = std::exchange(other.capacity_, 0);
    next_bytes_ = std::exchange(other.next_bytes_, 0);
    chunks_ = std::move(other.chunks_);
  }
  return *this;
}

BlockChunks::~BlockChunks() { release(); }

void BlockChunks::release() noexcept {
  for (const Chunk& chunk : chunks_) {
    if (chunk.bytes != 0) {
      munmap(chunk.memory, chunk.bytes);
    } else {
      std::free(chunk.memory);
    }
  }
  chunks_.clear();
}

bool BlockChunks::try_reserve(std::size_t entries) noexcept {
  if (entries <= capacity_) return true;
  if (block_bytes_ == 0) {  // empty vectors take no room at all
    capacity_ = SIZE_MAX;
    return true;
  }
  if (block_bytes_ > SIZE_MAX - 2 * kHugePage) return false;
  const std::size_t first_block = capacity_ / kBlockLanes;
  const std::size_t missing = (entries - capacity_ + kBlockLanes - 1) / kBlockLanes;
  const std::size_t grown = std::clamp(next_bytes_ * 2, kFirstChunk, kLargestChunk);
  const std::size_t most = (SIZE_MAX - 2 * kHugePage) / block_bytes_;
  const std::size_t count = std::max({missing, grown / block_bytes_, std::size_t{1}});
  if (count > most || count > SIZE_MAX / kBlockLanes - first_block) return false;
  if (!chunks_.try_grow_for(1)) return false;

  const std::size_t bytes = count * block_bytes_;
  Chunk chunk{nullptr, first_block, count, nullptr, 0};
  if (bytes >= kMappedChunk) {
    // Over-map by a huge page, then start at a 2 MiB boundary.
    const std::size_t mapped = round_up(bytes, kHugePage) + kHugePage;
    void* mapping = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return false;
    auto* start = reinterpret_cast<char*>(round_up(reinterpret_cast<std::uintptr_t>(mapping), kHugePage));
    // Huge pages for the whole ones the blocks fill; the rest in small pages,
    // so that a store's last huge page does not hold up to 2 MiB it never uses.
    madvise(start, bytes / kHugePage * kHugePage, MADV_HUGEPAGE);
    chunk = {start, first_block, count, mapping, mapped};
  } else {
    void* memory = std::calloc(1, bytes + kLineBytes);  // zeroed, and room to align to a line
    if (memory == nullptr) return false;
    chunk = {reinterpret_cast<char*>(round_up(reinterpret_cast<std::uintptr_t>(memory), kLineBytes)), first_block,
             count, memory, 0};
  }
  chunks_.push_back_reserved(chunk);
  next_bytes_ = std::max(bytes, grown);
  capacity_ = (first_block + count) * kBlockLanes;
  return true;
}

BlockChunks::Run BlockChunks::run_at(std::size_t block) const noexcept {
  if (block_bytes_ == 0) return {nullptr, SIZE_MAX};
  // The chunk holding `block`: the last whose first block is not after it.
  const Chunk* chunk = std::upper_bound(chunks_.begin(), chunks_.end(), block,
                                        [](std::size_t b, const Chunk& c) { return b < c.first_block; }) -
                       1;
  const std::size_t offset = block - chunk->first_block;
  return {chunk->blocks + offset * block_bytes_, chunk->block_count - offset};
}

char* BlockChunks::block_address(std::size_t block) const noexcept {
  if (block_bytes_ == 0) return nullptr;
  // Appends land in the newest chunk; look there first.
  const Chunk& newest = chunks_[chunks_.size() - 1];
  if (block >= newest.first_block) return newest.blocks + (block - newest.first_block) * block_bytes_;
  return const_cast<char*>(run_at(block).blocks);
}

}  // namespace tessaly
