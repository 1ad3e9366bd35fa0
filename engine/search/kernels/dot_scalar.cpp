// The portable first-pass kernels, and the reference the others are
// checked against: each lane's four elements at a time, as the layout
// gives them, in 32-bit sums.
#include "engine/search/int8_kernels.hpp"
#include "engine/store/block_chunks.hpp"
#include "engine/store/int8_copy.hpp"
#include "engine/search/kernels/bound_steps.hpp"

namespace tessaly::kernels {
namespace {

constexpr std::size_t kLineBytes = 64;

std::int32_t lane_dot(const std::int8_t* lane, const std::int8_t* query, std::size_t lines, std::size_t query_step) {
  std::int32_t sum = 0;
  for (std::size_t j = 0; j < lines; ++j) {
    const std::int8_t* x = lane + j * kLineBytes;
    const std::int8_t* q = query + j * query_step;
    for (std::size_t t = 0; t < kInt8LaneElements; ++t) sum += std::int32_t{x[t]} * std::int32_t{q[t]};
  }
  return sum;
}

void dot(const Int8Query& query, const std::int8_t* blocks, std::size_t count, std::int32_t* out) noexcept {
  for (std::size_t b = 0; b < count; ++b) {
    const std::int8_t* block = blocks + b * query.lines * kLineBytes;
    for (std::size_t e = 0; e < kBlockLanes; ++e) {
      out[b * kBlockLanes + e] = lane_dot(block + e * kInt8LaneElements, query.elements, query.lines, kInt8LaneElements);
    }
  }
}

void dot_group(const Int8QueryGroup& group, const std::int8_t* blocks, std::size_t count, std::int32_t* out,
               std::size_t stride) noexcept {
  for (std::size_t k = 0; k < group.count; ++k) {
    const std::int8_t* query = group.interleaved + k * kInt8LaneElements;
    for (std::size_t b = 0; b < count; ++b) {
      const std::int8_t* block = blocks + b * group.lines * kLineBytes;
      for (std::size_t e = 0; e < kBlockLanes; ++e) {
        out[k * stride + b * kBlockLanes + e] =
            lane_dot(block + e * kInt8LaneElements, query, group.lines, group.count * kInt8LaneElements);
      }
    }
  }
}

}  // namespace

const Int8Kernels scalar_int8 = {dot, dot_group, 4, next_reaching_with<4, reaching_bits<4>>};

}  // namespace tessaly::kernels
