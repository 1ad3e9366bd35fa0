#include "engine/store/row_copy.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/base/instruction_sets.hpp"
#include "engine/store/float_tile.hpp"
#include "engine/store/row_copy_block.hpp"

namespace tessaly {
namespace row_copy {

// 4 x 4 tiles transposed in registers, so that each line is read and each
// row written 16 bytes at a time.
void portable_block_from(const float* block, std::size_t d, std::size_t from, float* out) noexcept {
  std::size_t i = from;
  for (; i + 4 <= d; i += 4) {
    for (std::size_t j = 0; j < kBlockLanes; j += 4) {
      FloatQuad q[4], rows[4];
      for (std::size_t k = 0; k < 4; ++k) std::memcpy(&q[k], block + (i + k) * kBlockLanes + j, sizeof(FloatQuad));
      transpose_quads(q, rows);
      for (std::size_t k = 0; k < 4; ++k) std::memcpy(out + (j + k) * d + i, &rows[k], sizeof(FloatQuad));
    }
  }
  for (; i < d; ++i) {
    for (std::size_t j = 0; j < kBlockLanes; ++j) {
      std::memcpy(out + j * d + i, block + i * kBlockLanes + j, sizeof(float));
    }
  }
}

void portable_block(const float* block, std::size_t d, float* out) noexcept { portable_block_from(block, d, 0, out); }

}  // namespace row_copy

namespace {

// The widest version this processor runs. Every one only moves bits, so
// any gives the same rows; AVX2's 32-byte stores keep the copy within a
// few percent of a plain memcpy, where 16-byte ones fall about 10% behind,
// and AVX-512's 64-byte ones gain nothing more (bench/NOTES.md).
row_copy::CopyBlock widest() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  if (instruction_sets().avx2) return row_copy::avx2_block;
#endif
  return row_copy::portable_block;
}

// `count` entries of a block from lane `lane` on: the ends of a range.
void copy_lanes(const float* block, std::size_t lane, std::size_t count, std::size_t d, float* out) noexcept {
  for (std::size_t j = 0; j < count; ++j) {
    for (std::size_t i = 0; i < d; ++i) {
      std::memcpy(out + j * d + i, block + i * kBlockLanes + lane + j, sizeof(float));
    }
  }
}

}  // namespace

void copy_rows(const Blocks& blocks, std::size_t first, std::size_t last, float* out) noexcept {
  static const row_copy::CopyBlock copy_block = widest();
  const std::size_t d = blocks.dimension();
  if (d == 0 || first >= last) return;
  blocks.for_each_run_of_entries(first, last, SIZE_MAX, [&](const float* run, std::size_t, Blocks::Entries entries) {
    std::size_t lane = entries.lane;
    for (std::size_t left = entries.count; left > 0;) {
      const float* block = run + lane / kBlockLanes * blocks.block_floats();
      const std::size_t within = lane % kBlockLanes;
      const std::size_t count = std::min(kBlockLanes - within, left);
      if (count == kBlockLanes) {
        copy_block(block, d, out);
      } else {
        copy_lanes(block, within, count, d, out);
      }
      out += count * d;
      lane += count;
      left -= count;
    }
  });
}

}  // namespace tessaly
