#include "engine/store/blocks.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace tessaly {
namespace {

constexpr std::size_t kLineBytes = kBlockLanes * sizeof(float);
constexpr std::size_t kFirstChunk = std::size_t{64} << 10;
constexpr std::size_t kLargestChunk = std::size_t{64} << 20;
// Chunks this large are mapped on their own, aligned to and advised for
// 2 MiB pages; smaller ones come from the allocator (a few small stores must
// not each hold a huge page).
constexpr std::size_t kMappedChunk = std::size_t{4} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Four floats, for transposing rows into lines.
using Quad = float __attribute__((vector_size(16)));
using Ints = std::int32_t __attribute__((vector_size(16)));

std::uintptr_t round_up(std::uintptr_t value, std::size_t to) noexcept {
  return (value + to - 1) / to * to;
}

}  // namespace

Blocks::Blocks(Blocks&& other) noexcept
    : dimension_(other.dimension_),
      capacity_(std::exchange(other.capacity_, 0)),
      next_bytes_(std::exchange(other.next_bytes_, 0)),
      chunks_(std::move(other.chunks_)) {}

Blocks& Blocks::operator=(Blocks&& other) noexcept {
  if (this != &other) {
    release();
    dimension_ = other.dimension_;
    capacity_ = std::exchange(other.capacity_, 0);
    next_bytes_ = std::exchange(other.next_bytes_, 0);
    chunks_ = std::move(other.chunks_);
  }
  return *this;
}

Blocks::~Blocks() { release(); }

void Blocks::release() noexcept {
  for (const Chunk& chunk : chunks_) {
    if (chunk.bytes != 0) {
      munmap(chunk.memory, chunk.bytes);
    } else {
      std::free(chunk.memory);
    }
  }
  chunks_.clear();
}

bool Blocks::try_reserve(std::size_t entries) noexcept {
  if (entries <= capacity_) return true;
  if (dimension_ == 0) {  // empty vectors take no room at all
    capacity_ = SIZE_MAX;
    return true;
  }
  if (dimension_ > (SIZE_MAX - 2 * kHugePage) / kLineBytes) return false;
  const std::size_t block_bytes = dimension_ * kLineBytes;
  const std::size_t first_block = capacity_ / kBlockLanes;
  const std::size_t missing = (entries - capacity_ + kBlockLanes - 1) / kBlockLanes;
  const std::size_t grown = std::clamp(next_bytes_ * 2, kFirstChunk, kLargestChunk);
  const std::size_t most = (SIZE_MAX - 2 * kHugePage) / block_bytes;
  const std::size_t count = std::max({missing, grown / block_bytes, std::size_t{1}});
  if (count > most || count > SIZE_MAX / kBlockLanes - first_block) return false;
  if (!chunks_.try_grow_for(1)) return false;

  const std::size_t bytes = count * block_bytes;
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
    chunk = {reinterpret_cast<float*>(start), first_block, count, mapping, mapped};
  } else {
    void* memory = std::calloc(1, bytes + kLineBytes);  // zeroed, and room to align to a line
    if (memory == nullptr) return false;
    chunk = {reinterpret_cast<float*>(round_up(reinterpret_cast<std::uintptr_t>(memory), kLineBytes)),
             first_block, count, memory, 0};
  }
  chunks_.push_back_reserved(chunk);
  next_bytes_ = std::max(bytes, grown);
  capacity_ = (first_block + count) * kBlockLanes;
  return true;
}

Blocks::Run Blocks::run_at(std::size_t block) const noexcept {
  if (dimension_ == 0) return {nullptr, SIZE_MAX};
  // The chunk holding `block`: the last whose first block is not after it.
  const Chunk* chunk = std::upper_bound(chunks_.begin(), chunks_.end(), block,
                                        [](std::size_t b, const Chunk& c) { return b < c.first_block; }) -
                       1;
  const std::size_t offset = block - chunk->first_block;
  return {chunk->blocks + offset * block_floats(), chunk->block_count - offset};
}

float* Blocks::block_address(std::size_t block) const noexcept {
  // Appends land in the newest chunk; look there first.
  const Chunk& newest = chunks_[chunks_.size() - 1];
  if (block >= newest.first_block) return newest.blocks + (block - newest.first_block) * block_floats();
  return const_cast<float*>(run_at(block).blocks);
}

void Blocks::write(std::size_t entry, const float* row) noexcept {
  if (dimension_ == 0) return;
  float* lane = block_address(entry / kBlockLanes) + entry % kBlockLanes;
  for (std::size_t i = 0; i < dimension_; ++i) lane[i * kBlockLanes] = row[i];
}

void Blocks::write_rows(std::size_t first, const char* rows, std::ptrdiff_t row_bytes,
                        std::size_t count) noexcept {
  if (dimension_ == 0) return;
  const auto row = [&](std::size_t r) {
    return rows + static_cast<std::ptrdiff_t>(r) * row_bytes;
  };
  std::size_t entry = first;
  const std::size_t end = first + count;
  while (entry < end) {
    const std::size_t lane = entry % kBlockLanes;
    const std::size_t lanes = std::min(kBlockLanes - lane, end - entry);
    float* block = block_address(entry / kBlockLanes);
    const std::size_t r = entry - first;
    std::size_t i = 0;
    if (lane == 0 && lanes == kBlockLanes) {
      // A whole block: 4 x 4 tiles, transposed in registers, so that each
      // row is read and each line written in order, 16 bytes at a time.
      for (; i + 4 <= dimension_; i += 4) {
        for (std::size_t j = 0; j < kBlockLanes; j += 4) {
          Quad q[4];
          for (std::size_t k = 0; k < 4; ++k) std::memcpy(&q[k], row(r + j + k) + i * sizeof(float), sizeof(Quad));
          const Quad low01 = __builtin_shuffle(q[0], q[1], Ints{0, 4, 1, 5});
          const Quad high01 = __builtin_shuffle(q[0], q[1], Ints{2, 6, 3, 7});
          const Quad low23 = __builtin_shuffle(q[2], q[3], Ints{0, 4, 1, 5});
          const Quad high23 = __builtin_shuffle(q[2], q[3], Ints{2, 6, 3, 7});
          const Quad lines[4] = {__builtin_shuffle(low01, low23, Ints{0, 1, 4, 5}),
                                 __builtin_shuffle(low01, low23, Ints{2, 3, 6, 7}),
                                 __builtin_shuffle(high01, high23, Ints{0, 1, 4, 5}),
                                 __builtin_shuffle(high01, high23, Ints{2, 3, 6, 7})};
          for (std::size_t k = 0; k < 4; ++k) std::memcpy(block + (i + k) * kBlockLanes + j, &lines[k], sizeof(Quad));
        }
      }
    }
    for (; i < dimension_; ++i) {
      for (std::size_t j = 0; j < lanes; ++j) {
        std::memcpy(block + i * kBlockLanes + lane + j, row(r + j) + i * sizeof(float), sizeof(float));
      }
    }
    entry += lanes;
  }
}

void Blocks::clear(std::size_t first, std::size_t last) noexcept {
  if (dimension_ == 0) return;
  for (std::size_t entry = first; entry < last; ++entry) {
    float* lane = block_address(entry / kBlockLanes) + entry % kBlockLanes;
    for (std::size_t i = 0; i < dimension_; ++i) lane[i * kBlockLanes] = 0.0f;
  }
}

float Blocks::at(std::size_t entry, std::size_t element) const noexcept {
  return block_address(entry / kBlockLanes)[element * kBlockLanes + entry % kBlockLanes];
}

}  // namespace tessaly
