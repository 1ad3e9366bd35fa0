#include "engine/store/int8_quantization.hpp"

#include "engine/base/instruction_sets.hpp"
#include "engine/store/int8_quantization_row.hpp"

namespace tessaly {
namespace quantization {

Int8Terms portable(const char* row, std::size_t d, std::int8_t* out, std::size_t group_bytes) noexcept {
  return quantize_row(row, d, out, group_bytes);
}

void portable_batch(const Int8Batch& batch) noexcept { quantize_batch(batch); }

}  // namespace quantization

namespace {

struct Versions {
  QuantizeInt8 available[3] = {quantization::portable};
  QuantizeInt8Batch batches[3] = {quantization::portable_batch};
  std::size_t count = 1;
};

Versions detect() noexcept {
  Versions versions;
#if defined(__x86_64__) || defined(__i386__)
  if (instruction_sets().avx2) {
    versions.available[versions.count] = quantization::avx2;
    versions.batches[versions.count++] = quantization::avx2_batch;
  }
  if (instruction_sets().avx512f) {
    versions.available[versions.count] = quantization::avx512;
    versions.batches[versions.count++] = quantization::avx512_batch;
  }
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

std::span<const QuantizeInt8Batch> quantize_int8_batch_versions() noexcept {
  return {versions().batches, versions().count};
}

void quantize_int8_batch(const Int8Batch& batch) noexcept { versions().batches[versions().count - 1](batch); }

Int8Terms quantize_int8(const char* row, std::size_t d, std::int8_t* out, std::size_t group_bytes) noexcept {
  return versions().available[versions().count - 1](row, d, out, group_bytes);
}

}  // namespace tessaly
