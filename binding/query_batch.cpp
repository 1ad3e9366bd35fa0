#include "binding/query_batch.hpp"

#include <cstring>

#include "binding/array_protocol.hpp"
#include "binding/batch_shape.hpp"
#include "binding/convert.hpp"
#include "binding/long_call.hpp"

namespace tessaly {

QueryRows QueryBatchInput::rows() noexcept {
  if (!grid_) return QueryBatch(spans_.data(), spans_.size());
  const MatrixShape shape = grid_->shape();
  if (const auto in_place = grid_->float32_elements()) {
    return QueryRows::InPlace{in_place->data, shape.rows, shape.columns, in_place->row_bytes,
                              in_place->element_bytes};
  }
  grid_rows_.grid = &*grid_;
  return QueryRows::Converting{shape.rows, shape.columns, grid_rows_};
}

void QueryBatchInput::copy_all(float* out) const noexcept {
  if (grid_) {
    grid_->copy_rows(0, grid_->shape().rows, out);
  } else if (!elements_.empty()) {
    std::memcpy(out, elements_.data(), elements_.size() * sizeof(float));
  }
}

Result<QueryBatchInput> to_query_batch(PyObject* given) noexcept {
  QueryBatchInput batch;
  TRY_ASSIGN(batch.converted_, array_by_protocol(given));
  PyObject* const object = batch.converted_ ? batch.converted_.get() : given;
  TRY(check_batch(object));
  TRY_ASSIGN(batch.grid_, FloatGrid::of(object, 2));
  if (batch.grid_) return batch;
  // Where each query's elements end: the spans are made once every query
  // is in, since the elements move as they grow.
  Array<std::size_t> ends;
  TRY_ASSIGN(const std::size_t reserved,
             reservation_for(object, sizeof(std::size_t), LenFailure::raised_unless_type_error));
  if (!ends.try_reserve(reserved)) return Error::no_memory();
  FloatVector query;  // one array for every query, each copied from it
  auto append = [&](PyObject* item) -> Result<void> {
    TRY(check_batch_item(object, item, ends.size()));
    TRY(read_float_vector(item, query));
    if (!batch.elements_.try_grow_for(query.size()) || !ends.try_grow_for(1)) return Error::no_memory();
    for (float element : query) batch.elements_.push_back_reserved(element);
    ends.push_back_reserved(batch.elements_.size());
    return check_signals();
  };
  TRY(for_each_item(object, append));
  if (!batch.spans_.try_reserve(ends.size())) return Error::no_memory();
  std::size_t start = 0;
  for (const std::size_t end : ends) {
    batch.spans_.push_back_reserved({batch.elements_.data() + start, end - start});
    start = end;
  }
  return batch;
}

}  // namespace tessaly
