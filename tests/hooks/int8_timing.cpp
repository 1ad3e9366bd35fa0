#include "tests/hooks/int8_timing.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "engine/base/large_memory.hpp"
#include "engine/search/int8_kernels.hpp"
#include "engine/store/block_chunks.hpp"
#include "engine/store/int8_copy.hpp"

namespace tessaly {
namespace {

constexpr std::size_t kLineBytes = kBlockLanes * kInt8LaneElements;

// In 2 MiB pages, as a store's chunks and the floor's buffer are.
struct AlignedBytes {
  std::int8_t* data;
  std::size_t size;
  explicit AlignedBytes(std::size_t bytes)
      : data(static_cast<std::int8_t*>(large_memory::allocate(bytes))), size(bytes) {}
  ~AlignedBytes() { large_memory::release(data, size); }
  AlignedBytes(const AlignedBytes&) = delete;
  AlignedBytes& operator=(const AlignedBytes&) = delete;
};

template <class F>
double median_seconds(std::size_t rounds, F&& run) {
  std::vector<double> times;
  for (std::size_t r = 0; r < std::max<std::size_t>(rounds, 1); ++r) {
    const auto start = std::chrono::steady_clock::now();
    run();
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  return times[times.size() / 2];
}

void fill(std::int8_t* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::int8_t>((i * 37 + 11) % 255 - 127);
}

}  // namespace

double time_int8_dot(KernelPath path, std::size_t blocks, std::size_t lines, std::size_t rounds) noexcept {
  const Int8Kernels& kernels = int8_kernels(path);
  AlignedBytes store(blocks * lines * kLineBytes);
  std::vector<std::int8_t> query(lines * kInt8LaneElements, 3);
  std::vector<std::int32_t> out(blocks * kBlockLanes);
  if (store.data == nullptr) return -1.0;
  fill(store.data, blocks * lines * kLineBytes);
  const Int8Query q{query.data(), lines, 0};
  // Runs of 64 blocks, as the first stage takes them.
  constexpr std::size_t kRun = 64;
  return median_seconds(rounds, [&] {
    for (std::size_t b = 0; b < blocks; b += kRun) {
      kernels.dot(q, store.data + b * lines * kLineBytes, std::min(kRun, blocks - b), out.data() + b * kBlockLanes);
    }
  });
}

double int8_group_rate(KernelPath path, std::size_t blocks, std::size_t lines, std::size_t rounds) noexcept {
  const Int8Kernels& kernels = int8_kernels(path);
  AlignedBytes tile(blocks * lines * kLineBytes);
  if (tile.data == nullptr) return -1.0;
  fill(tile.data, blocks * lines * kLineBytes);
  std::vector<std::int8_t> interleaved(kernels.group_size * lines * kInt8LaneElements, 5);
  std::vector<std::int32_t> out(kernels.group_size * blocks * kBlockLanes);
  Int8QueryGroup group{kernels.group_size, lines, interleaved.data(), {}};
  const double products = static_cast<double>(kernels.group_size * blocks * kBlockLanes * lines * kInt8LaneElements);
  const std::size_t repeats = std::max<std::size_t>(1, static_cast<std::size_t>(2e9 / products));
  const double seconds = median_seconds(rounds, [&] {
    for (std::size_t r = 0; r < repeats; ++r) {
      kernels.dot_group(group, tile.data, blocks, out.data(), blocks * kBlockLanes);
    }
  });
  return products * static_cast<double>(repeats) / seconds;
}

}  // namespace tessaly
