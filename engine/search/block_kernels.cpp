#include "engine/search/block_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "engine/search/cosine.hpp"

namespace tessaly {

QueryTerms::QueryTerms(std::span<const float> query) noexcept
    : data(query.data()),
      dimension(query.size()),
      squared_norm(tessaly::squared_norm(query)),
      norm(std::sqrt(squared_norm)) {}

EngineResult<QueryGroups> make_query_groups(const QueryRows& rows, std::span<const std::size_t> queries,
                                            std::size_t dimension, std::size_t group_size) noexcept {
  QueryGroups made;
  const std::size_t count = queries.size();
  FloatVector scratch;  // a row that cannot be read where it lies
  if (dimension != 0 && count > SIZE_MAX / dimension) return EngineError::out_of_memory();
  if (!made.groups.try_reserve((count + group_size - 1) / group_size) ||
      !made.elements.try_resize(count * dimension) || !scratch.try_resize(dimension)) {
    return EngineError::out_of_memory();
  }
  for (std::size_t start = 0; start < count; start += group_size) {
    const std::size_t size = std::min(group_size, count - start);
    float* interleaved = made.elements.data() + start * dimension;
    QueryGroup group{size, interleaved, {}, {}};
    for (std::size_t k = 0; k < size; ++k) {
      const std::span<const float> query = rows.row(queries[start + k], scratch.data());
      const QueryTerms terms(query);
      group.squared_norms[k] = terms.squared_norm;
      group.norms[k] = terms.norm;
      for (std::size_t i = 0; i < dimension; ++i) interleaved[i * size + k] = query[i];
    }
    made.groups.push_back_reserved(group);
  }
  return made;
}

const BlockKernels& block_kernels(KernelPath path) noexcept {
  switch (path) {
#if defined(__x86_64__) || defined(__i386__)
    case KernelPath::sse2: return kernels::sse2;
    // The integer dot products add nothing to float scoring.
    case KernelPath::avx2:
    case KernelPath::avx2_vnni: return kernels::avx2;
    case KernelPath::avx512:
    case KernelPath::avx512_vnni: return kernels::avx512;
#endif
#if defined(__aarch64__)
    case KernelPath::neon:
    case KernelPath::neon_dot: return kernels::neon;
#endif
    default: break;
  }
  return kernels::scalar;
}

}  // namespace tessaly
