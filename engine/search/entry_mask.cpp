#include "engine/search/entry_mask.hpp"

#include <bit>
#include <cstring>

namespace tessaly {
namespace {

// Blocks with nothing selected that a span skips rather than reads: a new
// span costs each query's setup again (its groups, its first stage), worth
// a few blocks of scoring at most.
constexpr std::size_t kSkippedBlocks = 64;

// The bits of block `block`'s word that lie within first to last.
std::uint32_t within(std::size_t block, std::size_t first, std::size_t last) noexcept {
  const std::size_t start = block * kBlockLanes;
  std::uint32_t bits = 0xFFFFu;
  if (first > start) bits &= 0xFFFFu << (first - start);
  if (last < start + kBlockLanes) bits &= 0xFFFFu >> (start + kBlockLanes - last);
  return bits;
}

// Bit j set where byte j of the eight is not zero: each byte's high bit
// made to say so, then the eight high bits gathered by one multiply (bit
// 7 of byte j lands on bit 56 + j; no two terms meet there).
std::uint32_t nonzero_bytes(const unsigned char* bytes) noexcept {
  std::uint64_t x;
  std::memcpy(&x, bytes, sizeof x);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  const std::uint64_t high = (((x & kLow7) + kLow7) | x) & ~kLow7;
  return static_cast<std::uint32_t>(((high >> 7) * 0x0102040810204080ULL) >> 56);
}

// The bits set in a word, without the library call that std::popcount
// becomes where the baseline instruction set has no popcnt.
std::size_t bits_set(std::uint32_t word) noexcept {
  word -= (word >> 1) & 0x5555u;
  word = (word & 0x3333u) + ((word >> 2) & 0x3333u);
  word = (word + (word >> 4)) & 0x0F0Fu;
  return (word + (word >> 8)) & 0x1Fu;
}

}  // namespace

EngineResult<EntryMask> EntryMask::from_bytes(const unsigned char* bytes, std::ptrdiff_t stride,
                                              std::size_t count) noexcept {
  EntryMask mask;
  const std::size_t blocks = (count + kBlockLanes - 1) / kBlockLanes;
  // Two zero words after the last block: run() reads a pair from any
  // entry up to the end.
  if (!mask.words_.try_resize(blocks + 2)) return EngineError::out_of_memory();
  for (std::size_t b = 0; b < blocks + 2; ++b) mask.words_[b] = 0;
  std::size_t i = 0;
  if (stride == 1) {  // a numpy bool array: sixteen bytes to a word at once
    for (; i + kBlockLanes <= count; i += kBlockLanes) {
      mask.words_[i / kBlockLanes] =
          static_cast<std::uint16_t>(nonzero_bytes(bytes + i) | nonzero_bytes(bytes + i + 8) << 8);
    }
  }
  for (; i < count; ++i) {
    const bool on = bytes[static_cast<std::ptrdiff_t>(i) * stride] != 0;
    mask.words_[i / kBlockLanes] |= static_cast<std::uint16_t>(static_cast<unsigned>(on) << (i % kBlockLanes));
  }
  mask.size_ = count;
  for (std::size_t b = 0; b < blocks; ++b) mask.selected_ += bits_set(mask.words_[b]);
  return mask;
}

std::size_t EntryMask::selected(std::size_t first, std::size_t last) const noexcept {
  if (last > size_) last = size_;
  if (first == 0 && last == size_) return selected_;
  std::size_t count = 0;
  for (std::size_t b = first / kBlockLanes; b * kBlockLanes < last; ++b) {
    count += bits_set(words_[b] & within(b, first, last));
  }
  return first < last ? count : 0;
}

EngineResult<Array<EntrySpan>> EntryMask::spans(std::size_t first, std::size_t last) const noexcept {
  Array<EntrySpan> spans;
  if (last > size_) last = size_;
  std::size_t empty = 0;  // blocks with nothing selected since the last span's end
  for (std::size_t b = first / kBlockLanes; first < last && b * kBlockLanes < last; ++b) {
    const std::uint32_t bits = words_[b] & within(b, first, last);
    if (bits == 0) {
      ++empty;
      continue;
    }
    const std::size_t from = b * kBlockLanes + static_cast<std::size_t>(std::countr_zero(bits));
    const std::size_t to = b * kBlockLanes + kBlockLanes - static_cast<std::size_t>(std::countl_zero(bits << 16));
    if (!spans.empty() && empty < kSkippedBlocks) {
      spans.back().last = to;
    } else if (!spans.try_push_back({from, to})) {
      return EngineError::out_of_memory();
    }
    empty = 0;
  }
  return spans;
}

}  // namespace tessaly
