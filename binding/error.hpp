// The error value: what a failed binding operation returns.
//
// Every fallible operation returns Result<T>: its value, or an Error that
// travels up to the entry frame (entry_frame.hpp), the one place that
// raises into the interpreter. Internal failures and exhausted memory are
// errors like any other; nothing is thrown. Making an error allocates
// nothing outside the interpreter: its text is an ErrorText, fixed-size with
// pieces held by reference, so that a failure can always be represented,
// even when memory has run out. An engine failure becomes an Error by
// itself, so TRY and TRY_ASSIGN carry EngineResults up as Results.
#pragma once

#include <source_location>

#include "binding/error_text.hpp"
#include "binding/python.hpp"
#include "binding/ref.hpp"
#include "engine/base/engine_error.hpp"
#include "engine/base/expected.hpp"

namespace tessaly {

class Error {
 public:
  // Pending: the exception object is made only when raised.
  static Error pending(PyObject* type, ErrorText text) noexcept {
    return Error(Kind::pending, type, std::move(text));
  }
  static Error type_error(ErrorText text) noexcept { return pending(PyExc_TypeError, std::move(text)); }
  static Error value_error(ErrorText text) noexcept { return pending(PyExc_ValueError, std::move(text)); }
  static Error overflow_error(ErrorText text) noexcept { return pending(PyExc_OverflowError, std::move(text)); }
  static Error runtime_error(ErrorText text) noexcept { return pending(PyExc_RuntimeError, std::move(text)); }
  // An internal failure: writes the failure report now, and is raised as
  // PanicException(text).
  static Error internal_failure(ErrorText text,
                                std::source_location where = std::source_location::current()) noexcept;
  // An internal failure whose report was already written (or, for one
  // resumed from Python, replaced by its traceback).
  static Error reported_failure(ErrorText text) noexcept {
    return Error(Kind::panic, nullptr, std::move(text));
  }
  static Error no_memory() noexcept { return Error(Kind::no_memory, nullptr, {}); }

  // The engine's errors: ValueError, MemoryError, or an internal failure
  // (already reported, on the thread where it started).
  Error(const EngineError& error) noexcept;  // NOLINT: the bridge is meant to be implicit

  // The fetch rule, after a C API call reported failure: takes the pending
  // exception; SystemError if there is none. A PanicException that Python
  // code let through is not an ordinary error: its internal failure resumes,
  // with its traceback printed once.
  static Error fetch() noexcept;
  // An exception object already taken from the interpreter.
  static Error fetched_from(Ref exception) noexcept {
    Error error(Kind::fetched, nullptr, {});
    error.exception_ = std::move(exception);
    return error;
  }

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
  enum class Kind {
    pending,    // type_ raised with text_
    panic,      // PanicException raised with text_
    no_memory,  // the interpreter's MemoryError
    fetched,    // exception_ raised as it is
  };
  Error(Kind kind, PyObject* type, ErrorText text) noexcept
      : kind_(kind), type_(type), text_(std::move(text)) {}

  static Error of_engine(const EngineError& error) noexcept;
  // The class of the exception this error raises (null for a panic before
  // PanicException exists).
  PyObject* raised_type() const noexcept;

  Kind kind_;
  PyObject* type_;   // pending: borrowed, one of the interpreter's static exception types
  ErrorText text_;   // pending, panic: the message
  Ref exception_;    // fetched: the exception taken from the interpreter
};

template <class T>
using Result = Expected<T, Error>;

// Takes and drops the pending exception; only a resumed internal failure
// (the fetch rule) is returned, as it must still reach the caller.
[[nodiscard]] Result<void> discard_pending_error() noexcept;

// Null object check: the interpreter could not make an object the body
// cannot do without. Reports the interpreter's error through the unraisable
// hook and ends in the internal failure "PyObject pointer is null".
Result<Ref> require(PyObject* made,
                    std::source_location where = std::source_location::current()) noexcept;

}  // namespace tessaly
