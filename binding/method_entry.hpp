// The one prologue of every entry declared in a method table
// (method_table.hpp), for each of the interpreter's calling conventions:
// inside the entry frame, match the arguments to the parameters, check the
// receiver and take its access, convert the arguments the frame converts
// in parameter order, then run the body with what they gave. The first
// failure ends the call.
#pragma once

#include <array>
#include <cstddef>
#include <tuple>
#include <utility>

#include "binding/access.hpp"
#include "binding/arguments.hpp"
#include "binding/entry_frame.hpp"
#include "binding/error.hpp"
#include "binding/method_table.hpp"
#include "binding/python.hpp"
#include "binding/ref.hpp"
#include "binding/vectorstore_record.hpp"
#include "binding/vectorstore_type.hpp"

namespace tessaly {
namespace method_entry_detail {

// What the body gets for one parameter.
template <auto Convert>
auto take(const Converted<Convert>& parameter, PyObject* object) noexcept {
  return convert_argument(parameter.name, object, Convert, parameter.names_overflow ? PyExc_OverflowError : nullptr);
}
inline Result<Argument> take(const Raw& parameter, PyObject* object) noexcept {
  return Argument{object, parameter.name};
}

// Converts parameters I onward, then calls call(taken..., converted...).
template <class Out, const auto& Spec, std::size_t I, class Call, class... Taken>
Out convert_from(PyObject* const* slots, Call& call, Taken&&... taken) noexcept {
  if constexpr (I == Spec.kCount) {
    return call(std::forward<Taken>(taken)...);
  } else {
    auto value = take(std::get<I>(Spec.parameters), slots[I]);
    if (!value.ok()) return std::move(value).error();
    return convert_from<Out, Spec, I + 1>(slots, call, std::forward<Taken>(taken)..., std::move(value).value());
  }
}

// The receiver check and access, then the conversions and the body, which
// gets the receiver first (none for a module function).
template <const auto& Spec, auto Body, class Out>
Out run(PyObject* self, PyObject* const* slots) noexcept {
  constexpr Receiver kReceiver = Spec.receiver;
  if constexpr (kReceiver == Receiver::none) {
    auto call = [](auto&&... values) { return Body(std::forward<decltype(values)>(values)...); };
    return convert_from<Out, Spec, 0>(slots, call);
  } else if constexpr (kReceiver == Receiver::module) {
    auto call = [self](auto&&... values) { return Body(self, std::forward<decltype(values)>(values)...); };
    return convert_from<Out, Spec, 0>(slots, call);
  } else if constexpr (kReceiver == Receiver::constructor || kReceiver == Receiver::type) {
    auto* type = reinterpret_cast<PyTypeObject*>(self);
    auto call = [type](auto&&... values) { return Body(type, std::forward<decltype(values)>(values)...); };
    return convert_from<Out, Spec, 0>(slots, call);
  } else {
    TRY_ASSIGN(PyVectorstore* record, as_vectorstore(self));
    TRY_ASSIGN(Access access, kReceiver == Receiver::shared_store ? Access::shared(record->access)
                                                                   : Access::exclusive(record->access));
    auto call = [record](auto&&... values) { return Body(*record, std::forward<decltype(values)>(values)...); };
    return convert_from<Out, Spec, 0>(slots, call);
  }
}

}  // namespace method_entry_detail

// METH_FASTCALL | METH_KEYWORDS: methods and module functions.
template <const auto& Spec, auto Body>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return object_entry([&]() -> Result<Ref> {
    static constexpr CallSignature kSignature = Spec.signature();
    std::array<PyObject*, Spec.kCount> slots{};
    TRY(parse_fastcall_args(kSignature, args, nargs, kwnames, slots));
    return method_entry_detail::run<Spec, Body, Result<Ref>>(self, slots.data());
  });
}

// tp_new: an argument tuple and a keyword dict (or null).
template <const auto& Spec, auto Body>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return object_entry([&]() -> Result<Ref> {
    static constexpr CallSignature kSignature = Spec.signature();
    std::array<PyObject*, Spec.kCount> slots{};
    TRY(parse_tuple_dict_args(kSignature, args, kwargs, slots));
    // Unlike an argument array or tuple, a keyword dict handed over by a C
    // caller could be changed by Python code that a conversion runs; hold
    // our own references to what it gave us.
    std::array<Ref, Spec.kCount> held;
    for (std::size_t i = 0; i < Spec.kCount; ++i) held[i] = Ref::borrow(slots[i]);
    return method_entry_detail::run<Spec, Body, Result<Ref>>(reinterpret_cast<PyObject*>(type), slots.data());
  });
}

// Slots that take no arguments: the length, the representation, a getter.
template <const auto& Spec, auto Body>
Py_ssize_t length_entry(PyObject* self) noexcept {
  static_assert(Spec.kCount == 0);
  return entry_frame<Py_ssize_t>(-1, [&] { return method_entry_detail::run<Spec, Body, Result<Py_ssize_t>>(self, nullptr); });
}
template <const auto& Spec, auto Body>
PyObject* object_slot_entry(PyObject* self) noexcept {
  static_assert(Spec.kCount == 0);
  return object_entry([&] { return method_entry_detail::run<Spec, Body, Result<Ref>>(self, nullptr); });
}
template <const auto& Spec, auto Body>
PyObject* getter_entry(PyObject* self, void*) noexcept {
  return object_slot_entry<Spec, Body>(self);
}

// The method table's line of an entry of the fast calling convention.
template <const auto& Spec, auto Body>
PyMethodDef method_def() noexcept {
  int flags = METH_FASTCALL | METH_KEYWORDS;
  if (Spec.receiver == Receiver::type) flags |= METH_CLASS;
  // A module function's definition is made into an object by the execution
  // step, not listed in the module's own table: the function keeps its
  // module, but the C function gets no self.
  if (Spec.receiver == Receiver::none) flags |= METH_STATIC;
  return {Spec.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall_entry<Spec, Body>)), flags,
          kTextSignature<Spec>.text};
}

}  // namespace tessaly
