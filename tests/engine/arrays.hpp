// Engine arrays and stores from literals, and read back, for the tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "engine/store/vectorstore_builder.hpp"

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
  Vectorstore store(vector_size);
  VectorstoreBuilder builder(store);
  for (const auto& [values, id] : list) {
    if (!builder.add(values, id).ok()) std::abort();
  }
  auto finished = std::move(builder).finish();
  if (!finished.ok()) return std::move(finished).error();
  return store;
}

// Entry `entry` of the store, read back from its lanes.
inline std::vector<float> row(const Vectorstore& store, std::size_t entry) {
  std::vector<float> out;
  for (std::size_t i = 0; i < store.vector_size(); ++i) out.push_back(store.blocks().at(entry, i));
  return out;
}

}  // namespace tessaly
