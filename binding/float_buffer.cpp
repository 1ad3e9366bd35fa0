#include "binding/float_buffer.hpp"

#include <cstring>
#include <new>
#include <optional>
#include <utility>

#include "binding/array_interface.hpp"
#include "binding/error.hpp"
#include "binding/message_texts.hpp"
#include "binding/ref.hpp"
#include "engine/base/float_environment.hpp"

namespace tessaly {

FloatGrid::FloatGrid(FloatGrid&& other) noexcept
    : data_(other.data_),
      rows_(other.rows_),
      columns_(other.columns_),
      row_stride_(other.row_stride_),
      column_stride_(other.column_stride_),
      type_(other.type_),
      capsule_(std::move(other.capsule_)),
      view_(other.view_),
      holds_view_(std::exchange(other.holds_view_, false)) {}

FloatGrid& FloatGrid::operator=(FloatGrid&& other) noexcept {
  if (this != &other) {
    this->~FloatGrid();
    new (this) FloatGrid(std::move(other));
  }
  return *this;
}

FloatGrid::~FloatGrid() {
  if (holds_view_) PyBuffer_Release(&view_);
}

Result<std::optional<FloatGrid>> FloatGrid::of(PyObject* object, int dimensions) noexcept {
  FloatGrid grid;
  const bool memoryview = Py_IS_TYPE(object, &PyMemoryView_Type);
  TRY_ASSIGN(const bool numpy, memoryview ? Result<bool>(false) : is_numpy_array(object));
  if (numpy) {
    // Read through the array interface rather than the buffer protocol:
    // numpy keeps a description of every buffer it exports until the array
    // goes (about 80 bytes per row, a sixth of a 128-float row's own).
    TRY_ASSIGN(const ArrayInterface* array, array_interface(object, grid.capsule_));
    if (array == nullptr) return std::optional<FloatGrid>();
    if (dimensions == 2 && array->nd > 2) {
      return Error::type_error(batch_dimensions_text(array->nd));
    }
    if (array->nd != dimensions) return std::optional<FloatGrid>();
    const int last = dimensions - 1;
    grid.data_ = static_cast<const char*>(array->data);
    grid.rows_ = dimensions == 2 ? static_cast<std::size_t>(array->shape[0]) : 1;
    grid.columns_ = static_cast<std::size_t>(array->shape[last]);
    grid.row_stride_ = dimensions == 2 ? array_stride(*array, 0) : 0;
    grid.column_stride_ = array_stride(*array, last);
    return std::move(grid).with_elements(
        array_element_type(array->typekind, array->itemsize, (array->flags & kNotSwapped) != 0), dimensions);
  }
  if (!memoryview) {
    TRY_ASSIGN(const bool array, is_array_array(object));
    if (!array) return std::optional<FloatGrid>();
  }
  if (PyObject_GetBuffer(object, &grid.view_, PyBUF_RECORDS_RO) != 0) {
    TRY(discard_pending_error());  // iterating will report whatever is wrong
    return std::optional<FloatGrid>();
  }
  grid.holds_view_ = true;
  const Py_buffer& view = grid.view_;
  if (view.ndim != dimensions || view.suboffsets != nullptr) return std::optional<FloatGrid>();
  const int last = dimensions - 1;
  grid.data_ = static_cast<const char*>(view.buf);
  grid.rows_ = dimensions == 2 ? static_cast<std::size_t>(view.shape[0]) : 1;
  grid.columns_ = static_cast<std::size_t>(view.shape[last]);
  grid.row_stride_ = dimensions == 2 ? view.strides[0] : 0;
  grid.column_stride_ = view.strides[last];
  return std::move(grid).with_elements(buffer_element_type(view.format, view.itemsize), dimensions);
}

std::optional<FloatGrid> FloatGrid::with_elements(std::optional<ElementType> type, int dimensions) && noexcept {
  if (!type || (dimensions == 1 && !type->is_native_float())) return std::nullopt;
  type_ = *type;
  return std::optional<FloatGrid>(std::move(*this));
}

void FloatGrid::copy_rows(std::size_t first, std::size_t count, float* to) const noexcept {
  if (type_.is_native_float32()) {  // copied, bits as they are
    for (std::size_t r = first; r < first + count; ++r) {
      const char* row = data_ + static_cast<std::ptrdiff_t>(r) * row_stride_;
      if (column_stride_ == sizeof(float)) {
        if (columns_ != 0) std::memcpy(to, row, columns_ * sizeof(float));
        to += columns_;
        continue;
      }
      for (std::size_t c = 0; c < columns_; ++c) {
        std::memcpy(to++, row + static_cast<std::ptrdiff_t>(c) * column_stride_, sizeof(float));
      }
    }
    return;
  }
  const FloatEnvironment environment;  // narrowed, which the mode decides
  convert_rows(type_, ElementLayout{data_, columns_, row_stride_, column_stride_}, first, count, to);
}

Result<bool> read_float_buffer(PyObject* object, FloatVector& out) noexcept {
  TRY_ASSIGN(std::optional<FloatGrid> grid, FloatGrid::of(object, 1));
  if (!grid) return false;
  out.clear();
  if (!out.try_reserve(grid->shape().columns)) return Error::no_memory();
  out.set_size_reserved(grid->shape().columns);
  grid->copy_rows(0, 1, out.data());
  return true;
}

Result<std::optional<MatrixShape>> matrix_shape(PyObject* object) noexcept {
  if (Py_IS_TYPE(object, &PyMemoryView_Type)) {
    const Py_buffer* view = PyMemoryView_GET_BUFFER(object);
    if (view->ndim != 2) return std::optional<MatrixShape>();
    return std::optional<MatrixShape>(MatrixShape{static_cast<std::size_t>(view->shape[0]),
                                                  static_cast<std::size_t>(view->shape[1])});
  }
  TRY_ASSIGN(const bool numpy, is_numpy_array(object));
  if (!numpy) return std::optional<MatrixShape>();
  Ref capsule;
  TRY_ASSIGN(const ArrayInterface* array, array_interface(object, capsule));
  if (array == nullptr || array->nd != 2) return std::optional<MatrixShape>();
  return std::optional<MatrixShape>(MatrixShape{static_cast<std::size_t>(array->shape[0]),
                                                static_cast<std::size_t>(array->shape[1])});
}

}  // namespace tessaly
