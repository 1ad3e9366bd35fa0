#include "binding/batch_shape.hpp"

#include <span>

#include "binding/array_interface.hpp"
#include "binding/convert.hpp"
#include "binding/message_texts.hpp"
#include "binding/ref.hpp"
#include "binding/text.hpp"

namespace tessaly {
namespace {

// The dimensions of an exact numpy array, and its shape (which `capsule`
// keeps alive), or -1 for anything else (and for an array of objects,
// whose items may be anything).
Result<int> numpy_dimensions(PyObject* object, Ref& capsule, std::span<const Py_intptr_t>& shape) noexcept {
  TRY_ASSIGN(const bool numpy, is_numpy_array(object));
  if (!numpy) return -1;
  TRY_ASSIGN(const ArrayInterface* array, array_interface(object, capsule));
  if (array == nullptr || array->typekind == 'O') return -1;
  shape = {array->shape, static_cast<std::size_t>(array->nd)};
  return array->nd;
}

Result<Ref> type_name_of(PyObject* object) noexcept { return qualified_name(Py_TYPE(object)); }

}  // namespace

Result<void> check_batch(PyObject* batch) noexcept {
  if (PyUnicode_Check(batch)) return check_sequence(batch);
  Ref capsule;
  std::span<const Py_intptr_t> shape;
  TRY_ASSIGN(const int dimensions, numpy_dimensions(batch, capsule, shape));
  if (dimensions == 0 || dimensions == 1) return Error::type_error(batch_shape_text(shape));
  if (PySequence_Check(batch)) return {};
  TRY_ASSIGN(Ref name, type_name_of(batch));
  return Error::type_error(not_a_batch_text(std::move(name)));
}

Result<void> check_batch_item(PyObject* batch, PyObject* item, std::size_t index) noexcept {
  if (PyUnicode_Check(item) || PySequence_Check(item)) return {};
  TRY_ASSIGN(Ref item_name, type_name_of(item));
  if (index != 0) return Error::type_error(batch_row_text(index, std::move(item_name)));
  TRY_ASSIGN(const bool numpy, is_numpy_array(batch));
  const bool plain = numpy || PyList_Check(batch) || PyTuple_Check(batch);
  const int array_like = plain ? 0 : PyObject_HasAttrStringWithError(batch, "__array__");
  if (array_like < 0) return Error::fetch();
  if (array_like == 1) {
    TRY_ASSIGN(Ref batch_name, type_name_of(batch));
    return Error::type_error(array_like_batch_text(std::move(batch_name), std::move(item_name)));
  }
  return Error::type_error(one_vector_batch_text(std::move(item_name)));
}

Result<void> check_id_shape(PyObject* ids) noexcept {
  Ref capsule;
  std::span<const Py_intptr_t> shape;
  TRY_ASSIGN(const int dimensions, numpy_dimensions(ids, capsule, shape));
  if (dimensions >= 0 && dimensions != 1) return Error::type_error(id_shape_text(shape));
  return {};
}

}  // namespace tessaly
