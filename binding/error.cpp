#include "binding/error.hpp"

#include <atomic>
#include <cstdio>

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

PyObject* make_panic_exception_type() noexcept {
  return PyErr_NewExceptionWithDoc("tessaly.PanicException", kPanicExceptionDoc,
                                   PyExc_BaseException, nullptr);
}

bool is_exception_class(PyObject* type) noexcept {
  return PyType_Check(type) &&
         PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

// UTF-8 of a str piece for the failure report; empty if it cannot be had.
std::string_view report_text(const Ref& piece) noexcept {
  if (!piece) return {};
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(piece.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return {};
  }
  return {utf8, static_cast<std::size_t>(size)};
}

// The text with its pieces put in, as a new str (null, with the
// interpreter's error set, if it cannot be made).
PyObject* compose(const Message& text, const Ref& piece, const Ref& second) noexcept {
  PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
  if (writer == nullptr) return nullptr;
  std::string_view rest = text.view();
  const Ref* pieces[] = {&piece, &second};
  for (const Ref* next : pieces) {
    const auto mark = rest.find(kPiece);
    if (mark == std::string_view::npos) break;
    if (PyUnicodeWriter_WriteUTF8(writer, rest.data(), static_cast<Py_ssize_t>(mark)) < 0 ||
        (*next && PyUnicodeWriter_WriteStr(writer, next->get()) < 0)) {
      PyUnicodeWriter_Discard(writer);
      return nullptr;
    }
    rest.remove_prefix(mark + kPiece.size());
  }
  if (PyUnicodeWriter_WriteUTF8(writer, rest.data(), static_cast<Py_ssize_t>(rest.size())) < 0) {
    PyUnicodeWriter_Discard(writer);
    return nullptr;
  }
  return PyUnicodeWriter_Finish(writer);
}

// A PanicException raised by Python code: printed once with its traceback,
// then its internal failure goes on (without a second report).
Error resume_from_python(Ref exception) noexcept {
  Ref message = Ref::steal(PyObject_Str(exception.get()));
  if (message) {
    auto printable = printable_text(message.get());
    if (printable.ok()) message = std::move(printable).value();
    else message = Ref();
  }
  if (!message) PyErr_Clear();
  std::fputs("tessaly: resuming an internal failure raised as PanicException in Python code\n"
             "Python stack trace below:\n",
             stderr);
  std::fflush(stderr);
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  if (!message) return Error::reported_failure("Unwrapped panic from Python code");
  return Error::reported_failure(Message(kPiece), std::move(message));
}

}  // namespace

Error Error::pending(PyObject* type, Message text, Ref piece, Ref second) noexcept {
  return Error(Kind::pending, type, text, std::move(piece), std::move(second));
}

Error Error::reported_failure(Message text, Ref piece) noexcept {
  return Error(Kind::panic, nullptr, text, std::move(piece), Ref());
}

Error Error::internal_failure(Message text, Ref piece, std::source_location where) noexcept {
  const std::string_view whole = text.view();
  const auto mark = whole.find(kPiece);
  if (mark == std::string_view::npos) {
    write_failure_report(whole, where);
  } else {
    write_failure_report(whole.substr(0, mark), where, report_text(piece),
                         whole.substr(mark + kPiece.size()));
  }
  return reported_failure(text, std::move(piece));
}

Error Error::no_memory() noexcept { return Error(Kind::no_memory, PyExc_MemoryError, {}, {}, {}); }

Error Error::from_engine(const EngineError& error) noexcept {
  switch (error.kind) {
    case EngineError::Kind::invalid: return value_error(error.message);
    case EngineError::Kind::out_of_memory: return no_memory();
    case EngineError::Kind::internal: break;
    case EngineError::Kind::interrupted:  // its cause travels on its own (long_call.hpp)
      return pending(PyExc_SystemError, "native code was interrupted without an exception");
  }
  return reported_failure(error.message);  // on the thread where it started
}

Error Error::fetch() noexcept {
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) {
    return pending(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  // Only this module makes PanicException: before it exists, nothing is one.
  PyObject* panic_type = panic_type_slot.load(std::memory_order_acquire);
  if (panic_type != nullptr &&
      PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(panic_type))) {
    return resume_from_python(std::move(exception));
  }
  return fetched_from(std::move(exception));
}

Error Error::fetched_from(Ref exception) noexcept {
  return Error(Kind::fetched, nullptr, {}, std::move(exception), Ref());
}

Result<void> discard_pending_error() noexcept {
  Error dropped = Error::fetch();
  if (dropped.is_internal_failure()) return dropped;
  return {};
}

bool Error::is(PyObject* type) const noexcept {
  PyObject* own = kind_ == Kind::fetched ? reinterpret_cast<PyObject*>(Py_TYPE(piece_.get()))
                  : kind_ == Kind::panic ? panic_type_slot.load(std::memory_order_acquire)
                                         : type_;
  return own != nullptr && PyType_Check(own) && PyType_Check(type) &&
         PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(own),
                          reinterpret_cast<PyTypeObject*>(type));
}

void Error::raise() && noexcept {
  switch (kind_) {
    case Kind::fetched:
      PyErr_SetRaisedException(piece_.release());
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
      write_failure_report("Failed to initialize new exception type.",
                           std::source_location::current());
      escape_trap();
    }
  }
  Ref text = Ref::steal(compose(text_, piece_, second_));
  if (!text) return;  // the interpreter's MemoryError stands in
  // PanicException gets its arguments as a tuple; the others the message.
  Ref value = kind_ == Kind::panic ? Ref::steal(PyTuple_Pack(1, text.get())) : std::move(text);
  if (!value) return;
  if (is_exception_class(type)) {
    PyErr_SetObject(type, value.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

Ref Error::into_exception() && noexcept {
  if (kind_ == Kind::fetched) return std::move(piece_);
  std::move(*this).raise();
  return Ref::steal(PyErr_GetRaisedException());
}

PyObject* panic_exception_type() noexcept {
  return get_or_make(panic_type_slot, make_panic_exception_type);
}

Result<Ref> require(PyObject* made, std::source_location where) noexcept {
  if (made != nullptr) return Ref::steal(made);
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  return Error::internal_failure("PyObject pointer is null", {}, where);
}

void escape_trap() noexcept {
  write_failure_report("uncaught panic at ffi boundary", std::source_location::current());
  std::abort();
}

}  // namespace tessaly
