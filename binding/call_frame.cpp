#include "binding/call_frame.hpp"

#include <string_view>

#include "binding/text.hpp"

namespace tessaly {
namespace {

Message display_name(const CallSignature& signature) noexcept {
  Message name;
  if (signature.class_name != nullptr) name << signature.class_name << ".";
  return name << signature.function_name << "()";
}

Error too_many_positional(const CallSignature& signature, std::size_t given) noexcept {
  Message text = display_name(signature);
  text << " takes ";
  if (signature.required_count == signature.parameter_count) {
    text << signature.parameter_count;
  } else {
    text << "from " << signature.required_count << " to " << signature.parameter_count;
  }
  return Error::type_error(text << " positional arguments but " << given << " "
                                << (given == 1 ? "was" : "were") << " given");
}

Error unexpected_keyword(const CallSignature& signature, PyObject* name) noexcept {
  auto text = text_of(name);
  if (!text.ok()) return std::move(text).error();
  return Error::type_error(display_name(signature)
                               << " got an unexpected keyword argument '" << kPiece << "'",
                           std::move(text).value());
}

Error multiple_values(const CallSignature& signature, std::size_t parameter) noexcept {
  return Error::type_error(display_name(signature) << " got multiple values for argument '"
                                                   << signature.parameter_names[parameter] << "'");
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
Message& quoted_list(Message& text, std::span<const char* const> names) noexcept {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text << (names.size() == 2 ? " and " : i + 1 == names.size() ? ", and " : ", ");
    text << "'" << names[i] << "'";
  }
  return text;
}

Result<void> check_required(const CallSignature& signature, std::size_t positional,
                            std::span<PyObject*> slots) noexcept {
  if (positional >= signature.required_count) return {};
  const char* missing[3];
  std::size_t count = 0;
  for (std::size_t i = 0; i < signature.required_count; ++i) {
    if (slots[i] == nullptr) missing[count++] = signature.parameter_names[i];
  }
  if (count == 0) return {};
  Message text = display_name(signature);
  text << " missing " << count << " required positional "
       << (count == 1 ? "argument" : "arguments") << ": ";
  return Error::type_error(quoted_list(text, {missing, count}));
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
    if (slots[j] != nullptr) return multiple_values(signature, j);
    slots[j] = value;
    return {};
  }
  return unexpected_keyword(signature, name);
}

// Copies the positional arguments into their slots; too many is an error.
Result<void> match_positional(const CallSignature& signature, PyObject* const* args,
                              std::size_t count, std::span<PyObject*> slots) noexcept {
  for (std::size_t i = 0; i < count && i < signature.parameter_count; ++i) slots[i] = args[i];
  if (count > signature.parameter_count) return too_many_positional(signature, count);
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

Error wrap_argument_error(const char* name, Error error) noexcept {
  if (error.is_internal_failure()) return error;
  Ref caught = std::move(error).into_exception();
  if (!caught) return Error::fetch();
  if (Py_TYPE(caught.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    return Error::fetched_from(std::move(caught));
  }
  auto text = text_of(caught.get());
  if (!text.ok()) return std::move(text).error();
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.value().get()));
  if (!message) return Error::fetch();
  Ref rewritten = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!rewritten) return Error::fetch();
  // Steals the cause (or null); also marks the context as suppressed.
  PyException_SetCause(rewritten.get(), PyException_GetCause(caught.get()));
  return Error::fetched_from(std::move(rewritten));
}

}  // namespace tessaly
