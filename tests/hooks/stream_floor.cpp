#include "tests/hooks/stream_floor.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "engine/runtime/worker_threads.hpp"

namespace tessaly {
namespace {

constexpr std::size_t kLine = 64;
constexpr std::size_t kAheadBytes = std::size_t{16} << 10;

void prefetch_range(const FloatRange& range) noexcept {
  const auto start = reinterpret_cast<std::uintptr_t>(range.data) & ~(kLine - 1);
  const auto end = reinterpret_cast<std::uintptr_t>(range.data + range.count);
  for (std::uintptr_t line = start; line < end; line += kLine) {
    __builtin_prefetch(reinterpret_cast<const void*>(line));
  }
}

// Eight independent sums of whole vector registers (Vec, a GCC vector of
// floats, whose width the caller's target decides), kept across ranges: eight
// loads in flight per step, no dependency between consecutive loads, and no
// reduction per range. With `ahead` > 0, the range that many places ahead
// is fetched by hand, line by line, before each range is read.
template <class Vec>
[[gnu::always_inline]] inline float sum_with(std::span<const FloatRange> ranges, std::size_t ahead) noexcept {
  constexpr std::size_t kLanes = sizeof(Vec) / sizeof(float);
  Vec s[8] = {};
  float rest = 0;
  auto add = [](Vec& sum, const float* p) {
    Vec loaded;
    std::memcpy(&loaded, p, sizeof loaded);
    sum += loaded;
  };
  for (std::size_t r = 0; r < ahead && r < ranges.size(); ++r) prefetch_range(ranges[r]);
  for (std::size_t r = 0; r < ranges.size(); ++r) {
    if (ahead > 0 && r + ahead < ranges.size()) prefetch_range(ranges[r + ahead]);
    const float* p = ranges[r].data;
    const std::size_t n = ranges[r].count;
    std::size_t i = 0;
    for (; i + 8 * kLanes <= n; i += 8 * kLanes) {
      for (std::size_t k = 0; k < 8; ++k) add(s[k], p + i + k * kLanes);
    }
    for (; i + kLanes <= n; i += kLanes) add(s[i / kLanes % 8], p + i);
    for (; i < n; ++i) rest += p[i];
  }
  for (std::size_t k = 1; k < 8; ++k) s[0] += s[k];
  for (std::size_t lane = 0; lane < kLanes; ++lane) rest += s[0][lane];
  return rest;
}

using Floats4 = float __attribute__((vector_size(16)));

#if defined(__x86_64__) || defined(__i386__)
using Floats8 = float __attribute__((vector_size(32)));
__attribute__((target("avx2"))) float sum_avx2(std::span<const FloatRange> ranges, std::size_t ahead) noexcept {
  return sum_with<Floats8>(ranges, ahead);
}
#endif

// 32-byte loads where the processor has them, else 16-byte ones (SSE2, NEON).
float sum_ranges(std::span<const FloatRange> ranges, std::size_t ahead) noexcept {
#if defined(__x86_64__) || defined(__i386__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return sum_avx2(ranges, ahead);
#endif
  return sum_with<Floats4>(ranges, ahead);
}

double time_once(std::span<const FloatRange> ranges, std::size_t threads, std::size_t ahead) noexcept {
  std::atomic<float> sink{0};
  const std::size_t per_thread = (ranges.size() + threads - 1) / threads;
  auto work = [&](std::size_t t) -> EngineResult<void> {
    const std::size_t first = std::min(ranges.size(), t * per_thread);
    const std::size_t last = std::min(ranges.size(), first + per_thread);
    sink.store(sum_ranges(ranges.subspan(first, last - first), ahead), std::memory_order_relaxed);
    return {};
  };
  auto collect = [](std::size_t) {};
  const auto started = std::chrono::steady_clock::now();
  const bool ran = threads <= 1 ? work(0).ok() : run_workers(threads, work, collect).ok();
  const auto ended = std::chrono::steady_clock::now();
  if (!ran) return -1.0;
  return std::chrono::duration<double>(ended - started).count();
}

}  // namespace

double time_matrix_read(const float* data, std::size_t count, std::size_t threads) noexcept {
  // Cut into pieces of 4 KiB, like rows.
  constexpr std::size_t kPiece = 1024;
  std::vector<FloatRange> pieces;
  for (std::size_t first = 0; first < count; first += kPiece) {
    pieces.push_back({data + first, std::min(kPiece, count - first)});
  }
  // The faster of a plain read, left to the hardware prefetchers, and one
  // that also fetches about 16 KiB ahead by hand.
  const double plain = time_once(pieces, threads, 0);
  const double fetched = time_once(pieces, threads, kAheadBytes / (kPiece * sizeof(float)));
  if (plain < 0 || fetched < 0) return -1.0;
  return std::min(plain, fetched);
}

}  // namespace tessaly
