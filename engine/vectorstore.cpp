#include "engine/vectorstore.hpp"

#include <new>

namespace tessaly {
namespace {

EngineError vector_length_error(std::size_t length, std::size_t expected) noexcept {
  return EngineError::invalid(Message("vector has length ") << length
                              << " but vectorstore expects " << expected);
}

}  // namespace

EngineResult<Vectorstore> Vectorstore::from_pairs(std::size_t vector_size, Array<VectorPair> pairs,
                                                  std::unique_ptr<RowArena> arena) {
  for (const VectorPair& pair : pairs) {
    if (pair.vector.size() != vector_size) {
      const EngineError error = vector_length_error(pair.vector.size(), vector_size);
      pairs.clear();  // before the arena their arrays came from
      return error;
    }
  }
  Vectorstore store(vector_size);
  store.arena_ = std::move(arena);
  store.vectors_ = std::move(pairs);
  return store;
}

RowArena* Vectorstore::arena() noexcept {
  if (!arena_) arena_.reset(new (std::nothrow) RowArena);
  return arena_.get();
}

EngineResult<void> Vectorstore::insert(FloatVector vector, std::uint64_t id) {
  if (vector.size() != vector_size_) return vector_length_error(vector.size(), vector_size_);
  if (!vectors_.try_push_back(StoredVector{std::move(vector), id})) {
    return EngineError::out_of_memory();
  }
  return {};
}

EngineError Vectorstore::query_length_error(std::size_t length) const noexcept {
  return EngineError::invalid(Message("query has length ") << length
                              << " but vectorstore expects " << vector_size_);
}

}  // namespace tessaly
