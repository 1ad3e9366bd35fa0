#include "tests/hooks/stream_floor.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TESSALY_FLOOR_X86 1
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <chrono>
#include <span>
#include <vector>

#include "engine/worker_threads.hpp"

namespace tessaly {
namespace {

constexpr std::size_t kLine = 64;
constexpr std::size_t kAheadBytes = std::size_t{16} << 10;

FloatRange range_of(const FloatRange& range) noexcept { return range; }

void prefetch_range(const FloatRange& range) noexcept {
  const auto start = reinterpret_cast<std::uintptr_t>(range.data) & ~(kLine - 1);
  const auto end = reinterpret_cast<std::uintptr_t>(range.data + range.count);
  for (std::uintptr_t line = start; line < end; line += kLine) {
    __builtin_prefetch(reinterpret_cast<const void*>(line));
  }
}

#if TESSALY_FLOOR_X86
// Eight independent sums of 32-byte loads, kept across ranges: 256 bytes
// in flight per step, no dependency between consecutive loads, and no
// reduction per range. With `ahead` > 0, the range that many places ahead
// is fetched by hand, line by line, before each range is read.
template <class Row>
__attribute__((target("avx2"))) float sum_avx2(std::span<const Row> ranges,
                                               std::size_t ahead) noexcept {
  __m256 s[8];
  for (__m256& x : s) x = _mm256_setzero_ps();
  float rest = 0;
  for (std::size_t r = 0; r < ahead && r < ranges.size(); ++r) prefetch_range(range_of(ranges[r]));
  for (std::size_t r = 0; r < ranges.size(); ++r) {
    if (ahead > 0 && r + ahead < ranges.size()) prefetch_range(range_of(ranges[r + ahead]));
    const FloatRange range = range_of(ranges[r]);
    const float* p = range.data;
    const std::size_t n = range.count;
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
      for (int k = 0; k < 8; ++k) s[k] = _mm256_add_ps(s[k], _mm256_loadu_ps(p + i + 8 * k));
    }
    for (; i + 8 <= n; i += 8) s[i / 8 % 8] = _mm256_add_ps(s[i / 8 % 8], _mm256_loadu_ps(p + i));
    for (; i < n; ++i) rest += p[i];
  }
  for (int k = 1; k < 8; ++k) s[0] = _mm256_add_ps(s[0], s[k]);
  float lanes[8];
  _mm256_storeu_ps(lanes, s[0]);
  for (float lane : lanes) rest += lane;
  return rest;
}

template <class Row>
float sum_sse2(std::span<const Row> ranges, std::size_t ahead) noexcept {
  __m128 s[8];
  for (__m128& x : s) x = _mm_setzero_ps();
  float rest = 0;
  for (std::size_t r = 0; r < ahead && r < ranges.size(); ++r) prefetch_range(range_of(ranges[r]));
  for (std::size_t r = 0; r < ranges.size(); ++r) {
    if (ahead > 0 && r + ahead < ranges.size()) prefetch_range(range_of(ranges[r + ahead]));
    const FloatRange range = range_of(ranges[r]);
    const float* p = range.data;
    const std::size_t n = range.count;
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
      for (int k = 0; k < 8; ++k) s[k] = _mm_add_ps(s[k], _mm_loadu_ps(p + i + 4 * k));
    }
    for (; i + 4 <= n; i += 4) s[i / 4 % 8] = _mm_add_ps(s[i / 4 % 8], _mm_loadu_ps(p + i));
    for (; i < n; ++i) rest += p[i];
  }
  for (int k = 1; k < 8; ++k) s[0] = _mm_add_ps(s[0], s[k]);
  float lanes[4];
  _mm_storeu_ps(lanes, s[0]);
  return rest + lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

template <class Row>
float sum_ranges(std::span<const Row> ranges, std::size_t ahead) noexcept {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2 ? sum_avx2(ranges, ahead) : sum_sse2(ranges, ahead);
}
#else
// Sixteen independent sums in plain C++, which the compiler may keep in
// vector registers (each sum still adds its elements in order): no
// dependency between consecutive loads.
template <class Row>
float sum_ranges(std::span<const Row> ranges, std::size_t ahead) noexcept {
  float s[16] = {};
  float rest = 0;
  for (std::size_t r = 0; r < ahead && r < ranges.size(); ++r) prefetch_range(range_of(ranges[r]));
  for (std::size_t r = 0; r < ranges.size(); ++r) {
    if (ahead > 0 && r + ahead < ranges.size()) prefetch_range(range_of(ranges[r + ahead]));
    const FloatRange range = range_of(ranges[r]);
    const float* p = range.data;
    const std::size_t n = range.count;
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
      for (int k = 0; k < 16; ++k) s[k] += p[i + k];
    }
    for (; i < n; ++i) rest += p[i];
  }
  for (float x : s) rest += x;
  return rest;
}
#endif

template <class Row>
double time_once(std::span<const Row> ranges, std::size_t threads, std::size_t ahead) noexcept {
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

template <class Row>
double time_best(std::span<const Row> ranges, std::size_t bytes, std::size_t threads) noexcept {
  // The faster of a plain read, left to the hardware prefetchers, and one
  // that also fetches about 16 KiB ahead by hand.
  const std::size_t range_bytes = ranges.empty() ? 1 : std::max<std::size_t>(1, bytes / ranges.size());
  const double plain = time_once(ranges, threads, 0);
  const double fetched = time_once(ranges, threads, std::max<std::size_t>(1, kAheadBytes / range_bytes));
  if (plain < 0 || fetched < 0) return -1.0;
  return std::min(plain, fetched);
}

}  // namespace

double time_matrix_read(const float* data, std::size_t count, std::size_t threads) noexcept {
  // Cut into pieces of 4 KiB, like rows.
  constexpr std::size_t kPiece = 1024;
  std::vector<FloatRange> pieces;
  for (std::size_t first = 0; first < count; first += kPiece) {
    pieces.push_back({data + first, std::min(kPiece, count - first)});
  }
  return time_best<FloatRange>(pieces, count * sizeof(float), threads);
}

}  // namespace tessaly
