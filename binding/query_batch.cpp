#include "binding/query_batch.hpp"

#include <algorithm>
#include <cstring>

#include "binding/convert.hpp"
#include "binding/long_call.hpp"

namespace tessaly {

std::optional<std::size_t> QueryBatchInput::wrong_length(std::size_t expected) const noexcept {
  if (grid_) {
    const MatrixShape shape = grid_->shape();
    if (shape.rows != 0 && shape.columns != expected) return shape.columns;
    return std::nullopt;
  }
  std::size_t start = 0;
  for (const std::size_t end : ends_) {
    if (end - start != expected) return end - start;
    start = end;
  }
  return std::nullopt;
}

std::size_t QueryBatchInput::slab_size() const noexcept {
  if (!grid_) return std::max<std::size_t>(size(), 1);
  const std::size_t row_bytes = grid_->shape().columns * sizeof(float);
  return row_bytes == 0 ? std::max<std::size_t>(size(), 1) : std::max<std::size_t>(kSlabBytes / row_bytes, 1);
}

Result<QueryBatch> QueryBatchInput::slab(std::size_t first, std::size_t count) noexcept {
  spans_.clear();
  if (!spans_.try_reserve(count)) return Error::no_memory();
  if (grid_) {
    const std::size_t columns = grid_->shape().columns;
    if (!elements_.try_reserve(count * columns)) return Error::no_memory();
    elements_.set_size_reserved(count * columns);
    grid_->copy_rows(first, count, elements_.data());
    for (std::size_t q = 0; q < count; ++q) spans_.push_back_reserved({elements_.data() + q * columns, columns});
  } else {
    for (std::size_t q = first; q < first + count; ++q) {
      const std::size_t start = q == 0 ? 0 : ends_[q - 1];
      spans_.push_back_reserved({elements_.data() + start, ends_[q] - start});
    }
  }
  return QueryBatch(spans_.data(), spans_.size());
}

void QueryBatchInput::copy_all(float* out) const noexcept {
  if (grid_) {
    grid_->copy_rows(0, grid_->shape().rows, out);
  } else if (elements_.size() != 0) {
    std::memcpy(out, elements_.data(), elements_.size() * sizeof(float));
  }
}

Result<QueryBatchInput> to_query_batch(PyObject* object) noexcept {
  TRY(check_sequence(object));
  QueryBatchInput batch;
  TRY_ASSIGN(batch.grid_, FloatGrid::of(object, 2));
  if (batch.grid_) return batch;
  if (!batch.ends_.try_reserve(reservation_for(object, sizeof(std::size_t)))) return Error::no_memory();
  FloatVector query;  // one array for every query, each copied from it
  auto append = [&](PyObject* item) -> Result<void> {
    TRY(read_float_vector(item, query));
    if (!batch.elements_.try_grow_for(query.size()) || !batch.ends_.try_grow_for(1)) return Error::no_memory();
    for (float element : query) batch.elements_.push_back_reserved(element);
    batch.ends_.push_back_reserved(batch.elements_.size());
    return check_signals();
  };
  TRY(for_each_item(object, append));
  return batch;
}

}  // namespace tessaly
