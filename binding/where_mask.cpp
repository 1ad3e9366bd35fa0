#include "binding/where_mask.hpp"

#include <span>

#include "binding/array_interface.hpp"
#include "binding/message_texts.hpp"
#include "binding/numpy_arrays.hpp"
#include "binding/ref.hpp"

namespace tessaly {

Result<std::optional<EntryMask>> to_entry_mask(PyObject* where, std::size_t entries) noexcept {
  if (where == nullptr || where == Py_None) return std::optional<EntryMask>();
  TRY_ASSIGN(const bool numpy, is_numpy_array(where));
  Ref array = Ref::borrow(where);
  if (!numpy) {
    TRY_ASSIGN(Ref module, import_numpy("search_arrays"));
    array = Ref::steal(PyObject_CallMethod(module.get(), "asarray", "O", where));
    if (!array) return Error::fetch();
  }
  Ref capsule;
  TRY_ASSIGN(const ArrayInterface* info, array_interface(array.get(), capsule));
  if (info == nullptr || info->typekind != 'b' || info->itemsize != 1) {
    Ref dtype = Ref::steal(PyObject_GetAttrString(array.get(), "dtype"));
    if (!dtype) return Error::fetch();
    Ref name = Ref::steal(PyObject_Str(dtype.get()));
    if (!name) return Error::fetch();
    return Error::type_error(where_dtype_text(std::move(name)));
  }
  const std::span<const Py_intptr_t> shape(info->shape, static_cast<std::size_t>(info->nd));
  if (info->nd != 1) return Error::value_error(where_shape_text(shape));
  const auto given = static_cast<std::size_t>(shape[0]);
  if (given != entries) return Error::value_error(where_length_text(given, entries));
  TRY_ASSIGN(EntryMask mask, EntryMask::from_bytes(static_cast<const unsigned char*>(info->data),
                                                   array_stride(*info, 0), given));
  return std::optional<EntryMask>(std::move(mask));
}

}  // namespace tessaly
