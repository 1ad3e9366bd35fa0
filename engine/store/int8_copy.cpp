#include "engine/store/int8_copy.hpp"

#include <algorithm>
#include <cstring>

#include "engine/base/float_environment.hpp"

namespace tessaly {
namespace {

constexpr std::size_t kLineBytes = 64;

std::size_t lines_for(std::size_t dimension) noexcept {
  return dimension / kInt8LaneElements + (dimension % kInt8LaneElements != 0 ? 1 : 0);
}

}  // namespace

// A dimension whose blocks' size cannot be told asks for more bytes than
// any chunk may have: reserving fails.
Int8Copy::Int8Copy(std::size_t dimension) noexcept
    : dimension_(dimension),
      lines_(lines_for(dimension)),
      chunks_(lines_ > SIZE_MAX / kLineBytes ? SIZE_MAX : lines_ * kLineBytes) {}

bool Int8Copy::try_reserve(std::size_t entries) noexcept {
  // The terms grow by doubling: inserts reserve one entry at a time.
  const auto room = [&](Array<float>& terms) {
    return entries <= terms.capacity() || terms.try_grow_for(entries - terms.size());
  };
  return chunks_.try_reserve(entries) && room(alphas_) && room(betas_);
}

std::int8_t* Int8Copy::lane(std::size_t entry) const noexcept {
  return reinterpret_cast<std::int8_t*>(chunks_.block_address(entry / kBlockLanes)) +
         entry % kBlockLanes * kInt8LaneElements;
}

// A batch per block: its entries' lanes lie 4 bytes apart.
void Int8Copy::append_rows(const char* rows, std::ptrdiff_t row_bytes, std::size_t count) noexcept {
  const FloatEnvironment environment;  // rounding to the nearest integer follows the mode
  for (std::size_t r = 0; r < count;) {
    const std::size_t entry = size();
    const std::size_t in_block = std::min(kBlockLanes - entry % kBlockLanes, count - r);
    quantize_int8_batch({.rows = rows + static_cast<std::ptrdiff_t>(r) * row_bytes,
                         .row_bytes = row_bytes,
                         .count = in_block,
                         .d = dimension_,
                         .out = lines_ != 0 ? lane(entry) : nullptr,
                         .out_step = lines_ != 0 ? kInt8LaneElements : 0,
                         .group_bytes = kLineBytes,
                         .alphas = alphas_.data() + entry,
                         .betas = betas_.data() + entry});
    alphas_.set_size_reserved(entry + in_block);
    betas_.set_size_reserved(entry + in_block);
    r += in_block;
  }
}

void Int8Copy::truncate(std::size_t entries) noexcept {
  for (std::size_t entry = entries; lines_ != 0 && entry < size(); ++entry) {
    std::int8_t* at = lane(entry);
    for (std::size_t j = 0; j < lines_; ++j) std::memset(at + j * kLineBytes, 0, kInt8LaneElements);
  }
  if (entries < size()) {
    alphas_.truncate(entries);
    betas_.truncate(entries);
  }
}

std::int8_t Int8Copy::at(std::size_t entry, std::size_t element) const noexcept {
  return lane(entry)[element / kInt8LaneElements * kLineBytes + element % kInt8LaneElements];
}

}  // namespace tessaly
