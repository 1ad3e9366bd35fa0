#include "engine/store/vectorstore_builder.hpp"

namespace tessaly {

EngineResult<void> VectorstoreBuilder::add(std::span<const float> vector, std::uint64_t id) noexcept {
  if (mismatch_) return {};
  if (vector.size() != store_.vector_size()) {
    mismatch_ = vector.size();
    return {};
  }
  if (store_.len() == 0) (void)store_.try_reserve(expected_);
  return store_.insert(vector, id);
}

EngineResult<Vectorstore> VectorstoreBuilder::finish() && noexcept {
  if (mismatch_) return vector_length_error(*mismatch_, store_.vector_size());
  return std::move(store_);
}

}  // namespace tessaly
