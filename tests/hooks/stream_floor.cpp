#include "tests/hooks/stream_floor.hpp"

#include <immintrin.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "engine/worker_threads.hpp"

namespace tessaly {
namespace {

// Eight independent sums of 32-byte loads, kept across ranges: 256 bytes
// in flight per step, no dependency between consecutive loads, and no
// reduction per range.
__attribute__((target("avx2"))) float sum_avx2(std::span<const FloatRange> ranges) noexcept {
  __m256 s[8];
  for (__m256& x : s) x = _mm256_setzero_ps();
  float rest = 0;
  for (const FloatRange& range : ranges) {
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

float sum_sse2(std::span<const FloatRange> ranges) noexcept {
  __m128 s[8];
  for (__m128& x : s) x = _mm_setzero_ps();
  float rest = 0;
  for (const FloatRange& range : ranges) {
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

float sum_ranges(std::span<const FloatRange> ranges) noexcept {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2 ? sum_avx2(ranges) : sum_sse2(ranges);
}

}  // namespace

double time_stream(std::span<const FloatRange> ranges, std::size_t threads) noexcept {
  // A single range (a matrix) is cut into as many pieces as there are threads.
  std::vector<FloatRange> pieces;
  if (ranges.size() == 1 && threads > 1) {
    const std::size_t step = (ranges[0].count + threads - 1) / threads;
    for (std::size_t first = 0; first < ranges[0].count; first += step) {
      pieces.push_back({ranges[0].data + first, std::min(step, ranges[0].count - first)});
    }
    ranges = pieces;
  }
  std::atomic<float> sink{0};
  const std::size_t per_thread = (ranges.size() + threads - 1) / threads;
  auto work = [&](std::size_t t) -> EngineResult<void> {
    const std::size_t first = std::min(ranges.size(), t * per_thread);
    const std::size_t last = std::min(ranges.size(), first + per_thread);
    sink.store(sum_ranges(ranges.subspan(first, last - first)), std::memory_order_relaxed);
    return {};
  };
  auto collect = [](std::size_t) {};
  const auto started = std::chrono::steady_clock::now();
  const bool ran = threads <= 1 ? work(0).ok() : run_workers(threads, work, collect).ok();
  const auto ended = std::chrono::steady_clock::now();
  if (!ran) return -1.0;
  return std::chrono::duration<double>(ended - started).count();
}

}  // namespace tessaly
