#include "engine/vectorstore.hpp"

namespace tessaly {
namespace {

EngineError vector_length_error(std::size_t length, std::size_t expected) {
  return {"vector has length " + std::to_string(length) + " but vectorstore expects " +
          std::to_string(expected)};
}

}  // namespace

EngineResult<Vectorstore> Vectorstore::from_pairs(std::size_t vector_size,
                                                  std::vector<VectorPair> pairs) {
  for (const VectorPair& pair : pairs) {
    if (pair.vector.size() != vector_size) return vector_length_error(pair.vector.size(), vector_size);
  }
  Vectorstore store(vector_size);
  store.vectors_ = std::move(pairs);
  return store;
}

EngineResult<void> Vectorstore::insert(FloatVector vector, std::uint64_t id) {
  if (vector.size() != vector_size_) return vector_length_error(vector.size(), vector_size_);
  // push_back either appends or, if growing fails, throws with the store
  // unchanged (entries move without throwing).
  vectors_.push_back(StoredVector{std::move(vector), id});
  return {};
}

EngineError Vectorstore::query_length_error(std::size_t length) const {
  return {"query has length " + std::to_string(length) + " but vectorstore expects " +
          std::to_string(vector_size_)};
}

}  // namespace tessaly
