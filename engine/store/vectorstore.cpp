#include "engine/store/vectorstore.hpp"

#include <cstring>

#include "engine/base/message_texts.hpp"

namespace tessaly {

EngineError vector_length_error(std::size_t length, std::size_t expected) noexcept {
  return EngineError::invalid(vector_length_text(length, expected));
}

Vectorstore::Vectorstore(std::size_t vector_size, CompactCopy copy) noexcept : blocks_(vector_size) {
  if (copy == CompactCopy::int8) int8_.emplace(vector_size);
}

bool Vectorstore::try_reserve(std::size_t entries) noexcept {
  return blocks_.try_reserve(entries) && ids_.try_reserve(entries) && (!int8_ || int8_->try_reserve(entries));
}

EngineResult<void> Vectorstore::insert(std::span<const float> vector, std::uint64_t id) noexcept {
  if (vector.size() != vector_size()) return vector_length_error(vector.size(), vector_size());
  // Both reservations come before any change, so a failure changes nothing
  // (a chunk reserved in vain stays for the next insert).
  const std::size_t entry = len();
  if (!blocks_.try_reserve(entry + 1) || !ids_.try_grow_for(1) || (int8_ && !int8_->try_reserve(entry + 1))) {
    return EngineError::out_of_memory();
  }
  blocks_.write(entry, vector.data());
  if (int8_) int8_->append_rows(reinterpret_cast<const char*>(vector.data()), 0, 1);
  ids_.push_back_reserved(id);
  return {};
}

void Vectorstore::append_reserved(const char* rows, std::ptrdiff_t row_bytes,
                                  std::span<const std::uint64_t> ids) noexcept {
  blocks_.write_rows(len(), rows, row_bytes, ids.size());
  if (int8_) int8_->append_rows(rows, row_bytes, ids.size());
  if (!ids.empty()) std::memcpy(ids_.data() + len(), ids.data(), ids.size() * sizeof(std::uint64_t));
  ids_.set_size_reserved(len() + ids.size());
}

void Vectorstore::truncate(std::size_t entries) noexcept {
  if (entries >= len()) return;
  blocks_.clear(entries, len());
  if (int8_) int8_->truncate(entries);
  ids_.truncate(entries);
}

}  // namespace tessaly
