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

inline Array<VectorPair> pairs(const std::vector<std::pair<std::vector<float>, std::uint64_t>>& list) {
  Array<VectorPair> made;
  if (!made.try_reserve(list.size())) std::abort();
  for (const auto& [values, id] : list) made.push_back_reserved({floats(values), id});
  return made;
}

}  // namespace tessaly
