#include "engine/store/blocks.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/store/float_tile.hpp"

namespace tessaly {
namespace {

constexpr std::size_t kLineBytes = kBlockLanes * sizeof(float);

}  // namespace

// A dimension whose blocks' size cannot be told asks for more bytes than
// any chunk may have: reserving fails.
Blocks::Blocks(std::size_t dimension) noexcept
    : dimension_(dimension), chunks_(dimension > SIZE_MAX / kLineBytes ? SIZE_MAX : dimension * kLineBytes) {}

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
          FloatQuad q[4], lines[4];
          for (std::size_t k = 0; k < 4; ++k) {
            std::memcpy(&q[k], row(r + j + k) + i * sizeof(float), sizeof(FloatQuad));
          }
          transpose_quads(q, lines);
          for (std::size_t k = 0; k < 4; ++k) {
            std::memcpy(block + (i + k) * kBlockLanes + j, &lines[k], sizeof(FloatQuad));
          }
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
