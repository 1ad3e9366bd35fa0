#include "engine/score_batch.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "engine/cosine.hpp"

namespace tessaly {
namespace {

using kernels::ScoreFunction;

struct Dispatch {
  std::array<KernelPath, 4> paths{};
  std::size_t count = 0;
  KernelPath best_path = KernelPath::scalar;
  ScoreFunction best = kernels::score_scalar;
};

ScoreFunction function_of(KernelPath path) noexcept {
  switch (path) {
#if defined(__x86_64__) || defined(__i386__)
    case KernelPath::sse2: return kernels::score_sse2;
    case KernelPath::avx2: return kernels::score_avx2;
    case KernelPath::avx512: return kernels::score_avx512;
#else
    case KernelPath::sse2:
    case KernelPath::avx2:
    case KernelPath::avx512:
#endif
    case KernelPath::scalar: break;
  }
  return kernels::score_scalar;
}

Dispatch detect() noexcept {
  Dispatch dispatch;
  dispatch.paths[dispatch.count++] = KernelPath::scalar;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("sse2")) dispatch.paths[dispatch.count++] = KernelPath::sse2;
  const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) dispatch.paths[dispatch.count++] = KernelPath::avx2;
  if (__builtin_cpu_supports("avx512f")) dispatch.paths[dispatch.count++] = KernelPath::avx512;
  // Searches use AVX2 where it exists, AVX-512 included: measured, its
  // half-register transposes score as fast or faster (a few per cent on
  // stores larger than the caches, a fifth on 768-float vectors in cache),
  // and a scan is bound by memory anyway.
  dispatch.best_path = avx2 ? KernelPath::avx2 : dispatch.paths[dispatch.count - 1];
#else
  dispatch.best_path = dispatch.paths[dispatch.count - 1];
#endif
  dispatch.best = function_of(dispatch.best_path);
  return dispatch;
}

const Dispatch& dispatch() noexcept {
  static const Dispatch detected = detect();
  return detected;
}

}  // namespace

QueryTerms::QueryTerms(std::span<const float> query) noexcept
    : data(query.data()),
      dimension(query.size()),
      squared_norm(tessaly::squared_norm(query)),
      norm(std::sqrt(squared_norm)) {}

std::string_view kernel_path_name(KernelPath path) noexcept {
  switch (path) {
    case KernelPath::scalar: return "scalar";
    case KernelPath::sse2: return "sse2";
    case KernelPath::avx2: return "avx2";
    case KernelPath::avx512: return "avx512";
  }
  return "unknown";
}

std::span<const KernelPath> available_kernel_paths() noexcept {
  return {dispatch().paths.data(), dispatch().count};
}

KernelPath best_kernel_path() noexcept { return dispatch().best_path; }

void score_batch(const QueryTerms& query, const StoredVector* entries, std::size_t count,
                 float* out, std::size_t readable) noexcept {
  dispatch().best(query, entries, count, out, std::max(count, readable));
}

void score_batch_on(KernelPath path, const QueryTerms& query, const StoredVector* entries,
                    std::size_t count, float* out, std::size_t readable) noexcept {
  function_of(path)(query, entries, count, out, std::max(count, readable));
}

}  // namespace tessaly
