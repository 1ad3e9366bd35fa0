// Error values and the entry frame.
//
// Every fallible operation returns Result<T>: its value, or an Error that
// travels up to the entry frame, the one place that raises into the
// interpreter. Internal failures and exhausted memory are errors like any
// other; nothing is thrown. Making an error allocates nothing outside the
// interpreter: its text is a fixed-size Message, with at most two pieces of
// text taken from Python objects (str objects, held by reference), so that a
// failure can always be represented, even when memory has run out.
#pragma once

#include <optional>
#include <source_location>
#include <string_view>

#include "binding/python.hpp"
#include "binding/ref.hpp"
#include "engine/engine_error.hpp"
#include "engine/expected.hpp"
#include "engine/message.hpp"

namespace tessaly {

// Marks where a piece of text from a Python object goes in a Message.
inline constexpr std::string_view kPiece = "\x1f";

// What the frame says for an internal failure that carries no text.
inline constexpr const char* kGenericPanicMessage = "native code panicked";

class Error {
 public:
  // Pending: the exception object is made only when raised. `text` holds a
  // kPiece mark for each piece given (str objects), in order.
  static Error pending(PyObject* type, Message text, Ref piece = {}, Ref second = {}) noexcept;
  static Error type_error(Message text, Ref piece = {}, Ref second = {}) noexcept {
    return pending(PyExc_TypeError, text, std::move(piece), std::move(second));
  }
  static Error value_error(Message text) noexcept { return pending(PyExc_ValueError, text); }
  static Error overflow_error(Message text) noexcept { return pending(PyExc_OverflowError, text); }
  static Error runtime_error(Message text) noexcept { return pending(PyExc_RuntimeError, text); }
  // An internal failure: writes the failure report now, and is raised as
  // PanicException(text).
  static Error internal_failure(Message text, Ref piece = {},
                                std::source_location where = std::source_location::current()) noexcept;
  // An internal failure whose report was already written (or, for one
  // resumed from Python, replaced by its traceback).
  static Error reported_failure(Message text, Ref piece = {}) noexcept;
  static Error no_memory() noexcept;
  // The engine's errors: ValueError, MemoryError, or an internal failure
  // (already reported).
  static Error from_engine(const EngineError& error) noexcept;

  // The fetch rule, after a C API call reported failure: takes the pending
  // exception; SystemError if there is none. A PanicException that Python
  // code let through is not an ordinary error: its internal failure resumes,
  // with its traceback printed once.
  static Error fetch() noexcept;
  // An exception object already taken from the interpreter.
  static Error fetched_from(Ref exception) noexcept;

  // An internal failure (which must not be taken for an argument's error).
  bool is_internal_failure() const noexcept { return kind_ == Kind::panic; }
  // The exception's type is `type` or a subclass of it.
  bool is(PyObject* type) const noexcept;

  // Sets the interpreter's exception indicator. If the exception's text or
  // arguments cannot be made, the interpreter's MemoryError is set instead.
  void raise() && noexcept;
  // The exception object itself, made now if still pending.
  Ref into_exception() && noexcept;

 private:
  enum class Kind { pending, panic, no_memory, fetched };
  Error(Kind kind, PyObject* type, Message text, Ref piece, Ref second) noexcept
      : kind_(kind), type_(type), text_(text), piece_(std::move(piece)), second_(std::move(second)) {}

  Kind kind_;
  PyObject* type_;  // borrowed: the interpreter's static exception types
  Message text_;
  Ref piece_;   // pending, panic: text pieces; fetched: the exception
  Ref second_;
};

template <class T>
using Result = Expected<T, Error>;

// Takes and drops the pending exception; only a resumed internal failure
// (the fetch rule) is returned, as it must still reach the caller.
[[nodiscard]] Result<void> discard_pending_error() noexcept;

// The PanicException type, made on first need and kept for the process
// (null, with the interpreter's error set, if it cannot be made).
PyObject* panic_exception_type() noexcept;

// Null object check: the interpreter could not make an object the body
// cannot do without. Reports the interpreter's error through the unraisable
// hook and ends in the internal failure "PyObject pointer is null".
Result<Ref> require(PyObject* made,
                    std::source_location where = std::source_location::current()) noexcept;

// A failure reached a place where it cannot be handled: report and abort.
[[noreturn]] void escape_trap() noexcept;

namespace detail {
template <class T, class Body>
std::optional<Error> run_body(Body& body, T& out) noexcept {
  try {
    auto result = body();
    if (result.ok()) {
      out = std::move(result).value();
      return std::nullopt;
    }
    return std::move(result).error();
  } catch (...) {  // nothing of ours throws; a foreign exception still must not cross
    return Error::internal_failure(kGenericPanicMessage);
  }
}
}  // namespace detail

// The entry frame around every call from the interpreter: runs `body`
// (returning Result<T>) and returns its value, or raises its error and
// returns `failed`.
template <class T, class Body>
T entry_frame(T failed, Body&& body) noexcept {
  T value = failed;
  std::optional<Error> error = detail::run_body(body, value);
  if (!error) return value;
  std::move(*error).raise();
  return failed;
}

// Entry frame for bodies that return a new object.
template <class Body>
PyObject* object_entry(Body&& body) noexcept {
  return entry_frame<PyObject*>(nullptr, [&]() -> Result<PyObject*> {
    auto result = body();
    if (!result.ok()) return std::move(result).error();
    return std::move(result).value().release();
  });
}

// Teardown frame, for tp_dealloc: nothing can be returned, so an internal
// failure is reported through the unraisable hook. An exception pending
// when the teardown began is left as it was.
template <class Body>
void teardown_frame(Body&& body) noexcept {
  int unused = 0;
  auto wrapped = [&]() -> Result<int> {
    TRY(body());
    return 0;
  };
  std::optional<Error> error = detail::run_body(wrapped, unused);
  if (!error) return;
  PyObject* saved = PyErr_GetRaisedException();
  std::move(*error).raise();
  PyErr_WriteUnraisable(nullptr);
  PyErr_SetRaisedException(saved);
}

}  // namespace tessaly
