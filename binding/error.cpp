#include "binding/error.hpp"

#include <atomic>
#include <mutex>

#include "binding/once.hpp"
#include "binding/text.hpp"

namespace tessaly {
namespace {

constexpr const char* kPanicExceptionDoc =
    "Raised when tessaly's native code fails while called from Python.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it typically propagates all the way up the stack and ends the\n"
    "interpreter instead of being caught by a broad 'except Exception'.";

std::atomic<PyObject*> panic_type_slot{nullptr};
std::mutex panic_type_guard;

PyObject* make_panic_exception_type() {
  PyObject* made = PyErr_NewExceptionWithDoc("tessaly.PanicException", kPanicExceptionDoc,
                                             PyExc_BaseException, nullptr);
  if (made == nullptr) {
    // Described without the fetch rule, which would need this very type.
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(error ? PyObject_Str(error.get()) : nullptr);
    const char* detail = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    PyErr_Clear();
    panic(std::string("Failed to initialize new exception type.") +
          (detail != nullptr ? std::string(": ") + detail : std::string()));
  }
  return made;
}

bool is_exception_class(PyObject* type) {
  return PyType_Check(type) &&
         PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

// Hands a PanicException raised by Python code back to the internal-failure
// path, with its traceback printed once.
[[noreturn]] void resume_from_python(Ref exception) {
  std::string message;
  Ref text = Ref::steal(PyObject_Str(exception.get()));
  if (text) {
    message = utf8_of_str(text.get());
  } else {
    PyErr_Clear();
    message = "Unwrapped panic from Python code";
  }
  std::fputs("tessaly: resuming an internal failure raised as PanicException in Python code\n"
             "Python stack trace below:\n",
             stderr);
  std::fflush(stderr);
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  resume_panic(std::move(message));
}

}  // namespace

Error Error::pending(PyObject* type, std::string message) {
  return Error(Kind::pending, type, std::move(message), Ref());
}

Error Error::internal_failure(std::string message) {
  return Error(Kind::panic, nullptr, std::move(message), Ref());
}

Error Error::no_memory() { return Error(Kind::no_memory, PyExc_MemoryError, {}, Ref()); }

Error Error::fetch() {
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) {
    return pending(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  if (PyObject_TypeCheck(exception.get(),
                         reinterpret_cast<PyTypeObject*>(panic_exception_type()))) {
    resume_from_python(std::move(exception));
  }
  return fetched_from(std::move(exception));
}

Error Error::fetched_from(Ref exception) {
  return Error(Kind::fetched, nullptr, {}, std::move(exception));
}

void discard_pending_error() { Error dropped = Error::fetch(); }

bool Error::is(PyObject* type) const {
  PyObject* own = kind_ == Kind::fetched ? reinterpret_cast<PyObject*>(Py_TYPE(exception_.get()))
                  : kind_ == Kind::panic ? panic_exception_type()
                                         : type_;
  return PyType_Check(own) && PyType_Check(type) &&
         PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(own),
                          reinterpret_cast<PyTypeObject*>(type));
}

void Error::raise() && {
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
  PyObject* type = kind_ == Kind::panic ? panic_exception_type() : type_;
  Ref text = require(PyUnicode_FromStringAndSize(message_.data(),
                                                 static_cast<Py_ssize_t>(message_.size())));
  // PanicException gets its arguments as a tuple; the others the message.
  Ref value = kind_ == Kind::panic ? require(PyTuple_Pack(1, text.get())) : std::move(text);
  if (is_exception_class(type)) {
    PyErr_SetObject(type, value.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

Ref Error::into_exception() && {
  if (kind_ == Kind::fetched) return std::move(exception_);
  std::move(*this).raise();
  return Ref::steal(PyErr_GetRaisedException());
}

PyObject* panic_exception_type() {
  return get_or_make_once(panic_type_slot, panic_type_guard, make_panic_exception_type);
}

Ref require(PyObject* made, std::source_location where) {
  if (made != nullptr) return Ref::steal(made);
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  panic("PyObject pointer is null", where);
}

void escape_trap() noexcept {
  write_failure_report("uncaught panic at ffi boundary", std::source_location::current());
  std::abort();
}

}  // namespace tessaly
