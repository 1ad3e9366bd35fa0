#include "binding/arguments.hpp"

#include <string_view>

#include "binding/message_texts.hpp"
#include "binding/text.hpp"

namespace tessaly {
namespace {

Message display_name(const CallSignature& signature) noexcept {
  return function_text(signature.class_name, signature.function_name);
}

Error unexpected_keyword(const CallSignature& signature, PyObject* name) noexcept {
  TRY_ASSIGN(Ref text, text_of(name));
  return Error::type_error(unexpected_keyword_text(display_name(signature), std::move(text)));
}

Result<void> check_required(const CallSignature& signature, std::size_t positional,
                            std::span<PyObject*> slots) noexcept {
  if (positional >= signature.required_count) return {};
  const char* missing[kMostParameters];
  std::size_t count = 0;
  for (std::size_t i = 0; i < signature.required_count; ++i) {
    if (slots[i] == nullptr) missing[count++] = signature.parameter_names[i];
  }
  if (count == 0) return {};
  return Error::type_error(missing_arguments_text(display_name(signature), {missing, count}));
}

// Puts one keyword argument into the slot of the parameter it names.
Result<void> match_keyword(const CallSignature& signature, PyObject* name, PyObject* value,
                           std::span<PyObject*> slots) noexcept {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  if (utf8 == nullptr) {
    if (PyErr_Occurred()) TRY(discard_pending_error());
    return unexpected_keyword(signature, name);
  }
  const std::string_view text(utf8, static_cast<std::size_t>(size));
  const auto parameters = signature.parameters();
  for (std::size_t j = 0; j < parameters.size(); ++j) {
    if (text != parameters[j]) continue;
    if (slots[j] != nullptr) {
      return Error::type_error(multiple_values_text(display_name(signature), signature.parameter_names[j]));
    }
    slots[j] = value;
    return {};
  }
  return unexpected_keyword(signature, name);
}

// Copies the positional arguments into their slots; too many is an error.
Result<void> match_positional(const CallSignature& signature, PyObject* const* args,
                              std::size_t count, std::span<PyObject*> slots) noexcept {
  for (std::size_t i = 0; i < count && i < signature.positional_count; ++i) slots[i] = args[i];
  if (count > signature.positional_count) {
    return Error::type_error(too_many_positional_text(display_name(signature), signature.required_count,
                                                      signature.positional_count, count));
  }
  return {};
}

}  // namespace

Result<void> parse_fastcall_args(const CallSignature& signature, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames,
                                 std::span<PyObject*> slots) noexcept {
  const auto positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
  TRY(match_positional(signature, args, positional, slots));
  const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    TRY(match_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[positional + k], slots));
  }
  return check_required(signature, positional, slots);
}

Result<void> parse_tuple_dict_args(const CallSignature& signature, PyObject* args,
                                   PyObject* kwargs, std::span<PyObject*> slots) noexcept {
  const auto positional = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  TRY(match_positional(signature, PySequence_Fast_ITEMS(args), positional, slots));
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      TRY(match_keyword(signature, name, value, slots));
    }
  }
  return check_required(signature, positional, slots);
}

Error wrap_argument_error(const char* name, Error error, PyObject* also) noexcept {
  if (error.is_internal_failure()) return error;
  Ref caught = std::move(error).into_exception();
  if (!caught) return Error::fetch();
  PyObject* const type = reinterpret_cast<PyObject*>(Py_TYPE(caught.get()));
  if (type != PyExc_TypeError && (also == nullptr || type != also)) return Error::fetched_from(std::move(caught));
  TRY_ASSIGN(Ref text, text_of(caught.get()));
  Ref message = Ref::steal(PyUnicode_FromFormat(kArgumentErrorFormat, name, text.get()));
  if (!message) return Error::fetch();
  Ref rewritten = Ref::steal(PyObject_CallOneArg(type, message.get()));
  if (!rewritten) return Error::fetch();
  // Steals the cause (or null); also marks the context as suppressed.
  PyException_SetCause(rewritten.get(), PyException_GetCause(caught.get()));
  return Error::fetched_from(std::move(rewritten));
}

}  // namespace tessaly
