// A call's arguments: matched to an entry point's parameters, and the
// errors of converting them named after the argument.
//
// The first `positional_count` parameters may be given by position or by
// keyword, the rest by keyword only; the first `required_count` must be
// given. Slots receive borrowed references (the
// caller's argument array, tuple or dict keeps the objects alive) and stay
// null for optional parameters that were not given.
#pragma once

#include <cstddef>
#include <span>

#include "binding/error.hpp"
#include "binding/python.hpp"

namespace tessaly {

// Parameters an entry may have at the most.
inline constexpr std::size_t kMostParameters = 4;

// What matching a call's arguments needs to know of its entry (made from
// the entry's declaration, method_table.hpp).
struct CallSignature {
  const char* function_name;
  const char* class_name;  // null for a module-level function
  std::size_t parameter_count;
  const char* parameter_names[kMostParameters];
  std::size_t required_count;
  std::size_t positional_count;  // the first this many may be given by position; the rest by keyword only

  std::span<const char* const> parameters() const noexcept {
    return {parameter_names, parameter_count};
  }
};

// The fast calling convention: keyword values follow the positional ones in
// `args`, in the order of the `kwnames` tuple (or null).
Result<void> parse_fastcall_args(const CallSignature& signature, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames,
                                 std::span<PyObject*> slots) noexcept;

// The argument tuple and keyword dict (or null) of tp_new.
Result<void> parse_tuple_dict_args(const CallSignature& signature, PyObject* args,
                                   PyObject* kwargs, std::span<PyObject*> slots) noexcept;

// A failed conversion of parameter `name`: an exact TypeError (or an
// exact `also`, when given: OverflowError for the methods whose negative
// counts and ids name their argument) is replaced by the same type with
// "argument 'name': " + its text, keeping its cause and suppressing its
// context; any other error passes unchanged.
Error wrap_argument_error(const char* name, Error error, PyObject* also = nullptr) noexcept;

// Converts one argument with `convert`, rewriting its failure for `name`.
template <class Convert>
auto convert_argument(const char* name, PyObject* object, Convert convert, PyObject* also = nullptr)
    -> decltype(convert(object)) {
  auto converted = convert(object);
  if (!converted.ok()) return wrap_argument_error(name, std::move(converted).error(), also);
  return converted;
}

// An argument as a body gets it: the object given (null for an optional
// parameter not given) and the parameter's name, for the errors of
// converting it.
struct Argument {
  PyObject* object;
  const char* name;

  template <class Convert>
  auto convert(Convert with) const -> decltype(with(object)) {
    return convert_argument(name, object, with);
  }
};

}  // namespace tessaly
