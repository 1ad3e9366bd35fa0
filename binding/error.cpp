#include "binding/error.hpp"

#include <cstdlib>

#include "binding/message_texts.hpp"
#include "binding/panic_exception.hpp"
#include "engine/base/failure_report.hpp"

namespace tessaly {
namespace {

bool is_exception_class(PyObject* type) noexcept {
  return PyType_Check(type) &&
         PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

// A failure reached a place where it cannot be handled: report and abort.
[[noreturn]] void escape_trap() noexcept {
  write_failure_report(kUncaughtPanic, std::source_location::current());
  std::abort();
}

}  // namespace

Error Error::internal_failure(ErrorText text, std::source_location where) noexcept {
  text.write_report(where);
  return reported_failure(std::move(text));
}

Error::Error(const EngineError& error) noexcept : Error(of_engine(error)) {}

Error Error::of_engine(const EngineError& error) noexcept {
  switch (error.kind) {
    case EngineError::Kind::invalid: return value_error(error.message);
    case EngineError::Kind::out_of_memory: return no_memory();
    case EngineError::Kind::internal: break;
    case EngineError::Kind::interrupted:  // its cause travels on its own (long_call.hpp)
      return pending(PyExc_SystemError, kInterruptedWithoutCause);
  }
  return reported_failure(error.message);  // reported on the thread where it started
}

Error Error::fetch() noexcept {
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) return pending(PyExc_SystemError, kFetchedNothing);
  if (!is_panic_exception(exception.get())) return fetched_from(std::move(exception));
  Ref text = print_resumed_panic(std::move(exception));
  if (!text) return reported_failure(kUnwrappedPanic);
  return reported_failure(ErrorText() << std::move(text));
}

Result<void> discard_pending_error() noexcept {
  Error dropped = Error::fetch();
  if (dropped.is_internal_failure()) return dropped;
  return {};
}

PyObject* Error::raised_type() const noexcept {
  switch (kind_) {
    case Kind::pending: return type_;
    case Kind::panic: return panic_exception_type_if_made();
    case Kind::no_memory: return PyExc_MemoryError;
    case Kind::fetched: return reinterpret_cast<PyObject*>(Py_TYPE(exception_.get()));
  }
  return nullptr;
}

bool Error::is(PyObject* type) const noexcept {
  PyObject* own = raised_type();
  return own != nullptr && PyType_Check(own) && PyType_Check(type) &&
         PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(own), reinterpret_cast<PyTypeObject*>(type));
}

void Error::raise() && noexcept {
  switch (kind_) {
    case Kind::fetched:
      PyErr_SetRaisedException(exception_.release());
      return;
    case Kind::no_memory:
      PyErr_NoMemory();
      return;
    case Kind::pending:
    case Kind::panic:
      break;
  }
  PyObject* type = type_;
  if (kind_ == Kind::panic) {
    type = panic_exception_type();
    if (type == nullptr) {
      write_failure_report(kPanicTypeNotMade, std::source_location::current());
      escape_trap();
    }
  }
  Ref text = text_.to_str();
  if (!text) return;  // the interpreter's MemoryError stands in
  // PanicException gets its arguments as a tuple; the others the message.
  Ref value = kind_ == Kind::panic ? Ref::steal(PyTuple_Pack(1, text.get())) : std::move(text);
  if (!value) return;
  if (is_exception_class(type)) {
    PyErr_SetObject(type, value.get());
  } else {
    PyErr_SetString(PyExc_TypeError, kNotAnExceptionClass);
  }
}

Ref Error::into_exception() && noexcept {
  if (kind_ == Kind::fetched) return std::move(exception_);
  std::move(*this).raise();
  return Ref::steal(PyErr_GetRaisedException());
}

Result<Ref> require(PyObject* made, std::source_location where) noexcept {
  if (made != nullptr) return Ref::steal(made);
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  return Error::internal_failure(kNullObject, where);
}

}  // namespace tessaly
