#include "tests/hooks/arithmetic_floor.hpp"

#include <chrono>
#include <cstddef>

namespace tessaly {
namespace {

constexpr int kChains = 12;  // enough to cover the add latency on every pipe
constexpr long kSteps = 1 << 22;

#if defined(__x86_64__) || defined(__i386__)
#define TESSALY_VECTOR_REGISTER "x"
#else
#define TESSALY_VECTOR_REGISTER "w"
#endif

// acc = acc + x * y in kChains chains; x passes through a register barrier
// before every product, so that each chain multiplies for itself: one
// product shared by all chains (common subexpression) would time the adds
// alone, which on cores where multiplies and adds share their pipes is
// twice the rate of multiply-then-add pairs.
template <class Vec>
[[gnu::always_inline]] inline double pairs_per_second() {
  constexpr std::size_t kLanes = sizeof(Vec) / sizeof(float);
  Vec acc[kChains];
  for (Vec& a : acc) a = Vec{} + 0.5f;
  Vec x = Vec{} + 1.0f;
  const Vec y = Vec{} + 0.5f;
  const auto started = std::chrono::steady_clock::now();
  for (long step = 0; step < kSteps; ++step) {
    for (Vec& a : acc) {
      asm("" : "+" TESSALY_VECTOR_REGISTER(x));
      a = a + x * y;
    }
  }
  const auto ended = std::chrono::steady_clock::now();
  for (Vec& a : acc) asm volatile("" : : TESSALY_VECTOR_REGISTER(a));
  const double seconds = std::chrono::duration<double>(ended - started).count();
  return static_cast<double>(kSteps) * kChains * kLanes / seconds;
}

}  // namespace

#if defined(__x86_64__) || defined(__i386__)
namespace {
using V16 = float __attribute__((vector_size(64)));
using V8 = float __attribute__((vector_size(32)));
using V4 = float __attribute__((vector_size(16)));
__attribute__((target("avx512f"))) double rate_avx512() { return pairs_per_second<V16>(); }
__attribute__((target("avx2"))) double rate_avx2() { return pairs_per_second<V8>(); }
double rate_sse2() { return pairs_per_second<V4>(); }
}  // namespace

double multiply_add_rate() noexcept {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return rate_avx512();
  if (__builtin_cpu_supports("avx2")) return rate_avx2();
  return rate_sse2();
}
#else
double multiply_add_rate() noexcept { return pairs_per_second<float>(); }
#endif

}  // namespace tessaly
