#include "engine/store/int8_quantization.hpp"

#include "engine/store/int8_quantization_row.hpp"

namespace tessaly {
namespace quantization {

Int8Terms portable(const char* row, std::size_t d, std::int8_t* out, std::size_t group_bytes) noexcept {
  return quantize_row(row, d, out, group_bytes);
}

}  // namespace quantization

namespace {

struct Versions {
  QuantizeInt8 available[3] = {quantization::portable};
  std::size_t count = 1;
};

// Chosen by a plain test on first use, not by the loader (an ifunc): a
// resolver runs before sanitizers' runtimes and before any C library but
// glibc's supports it.
Versions detect() noexcept {
  Versions versions;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) versions.available[versions.count++] = quantization::avx2;
  if (__builtin_cpu_supports("avx512f")) versions.available[versions.count++] = quantization::avx512;
#endif
  return versions;
}

const Versions& versions() noexcept {
  static const Versions detected = detect();
  return detected;
}

}  // namespace

std::span<const QuantizeInt8> quantize_int8_versions() noexcept {
  return {versions().available, versions().count};
}

Int8Terms quantize_int8(const char* row, std::size_t d, std::int8_t* out, std::size_t group_bytes) noexcept {
  return versions().available[versions().count - 1](row, d, out, group_bytes);
}

}  // namespace tessaly
