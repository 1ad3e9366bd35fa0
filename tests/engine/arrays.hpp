// Engine arrays from literals, for the tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "engine/vectorstore.hpp"

namespace tessaly {

inline FloatVector floats(const std::vector<float>& values) {
  FloatVector vector;
  if (!vector.try_reserve(values.size())) std::abort();
  for (float x : values) vector.push_back_reserved(x);
  return vector;
}

// A store built from (vector, id) pairs, as the constructor builds one.
inline EngineResult<Vectorstore> built(
    std::size_t vector_size, const std::vector<std::pair<std::vector<float>, std::uint64_t>>& list) {
  VectorstoreBuilder builder(vector_size);
  for (const auto& [values, id] : list) {
    if (!builder.add(values, id).ok()) std::abort();
  }
  return std::move(builder).finish();
}

}  // namespace tessaly
