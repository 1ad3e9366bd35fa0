#include "engine/store/vectorstore_builder.hpp"

#include <cstdint>

namespace tessaly {

bool VectorstoreBuilder::mismatched(std::size_t length) noexcept {
  if (!mismatch_ && length != store_.vector_size()) mismatch_ = length;
  return mismatch_.has_value();
}

EngineResult<void> VectorstoreBuilder::add(std::span<const float> vector, std::uint64_t id) noexcept {
  if (mismatched(vector.size())) return {};
  if (store_.len() == start_ && expected_ <= SIZE_MAX - start_) (void)store_.try_reserve(start_ + expected_);
  return store_.insert(vector, id);
}

EngineResult<bool> VectorstoreBuilder::reserve(std::size_t count, std::size_t length) noexcept {
  if (count == 0 || mismatched(length)) return false;
  if (store_.len() > SIZE_MAX - count || !store_.try_reserve(store_.len() + count)) {
    return EngineError::out_of_memory();
  }
  return true;
}

EngineResult<void> VectorstoreBuilder::finish() && noexcept {
  if (mismatch_) return vector_length_error(*mismatch_, store_.vector_size());
  finished_ = true;
  return {};
}

}  // namespace tessaly
