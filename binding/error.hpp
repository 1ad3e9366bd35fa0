// Error values and the entry frame.
//
// Every fallible operation returns Result<T>: its value, or an Error that
// travels up to the entry frame, the one place that raises into the
// interpreter. Internal failures (tessaly::Panic) and C++ allocation
// failures are caught there too, so no C++ exception crosses into Python.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <source_location>
#include <string>

#include "binding/python.hpp"
#include "binding/ref.hpp"
#include "engine/expected.hpp"
#include "engine/panic.hpp"

namespace tessaly {

// What the frame says for an internal failure that carries no text.
inline constexpr const char* kGenericPanicMessage = "native code panicked";

class Error {
 public:
  // Pending: the exception object is made only when raised.
  static Error pending(PyObject* type, std::string message);
  static Error type_error(std::string message) { return pending(PyExc_TypeError, std::move(message)); }
  static Error value_error(std::string message) { return pending(PyExc_ValueError, std::move(message)); }
  static Error overflow_error(std::string message) {
    return pending(PyExc_OverflowError, std::move(message));
  }
  static Error runtime_error(std::string message) {
    return pending(PyExc_RuntimeError, std::move(message));
  }
  // PanicException(message), for an internal failure caught by a frame.
  static Error internal_failure(std::string message);
  static Error no_memory();

  // The fetch rule, after a C API call reported failure: takes the pending
  // exception; SystemError if there is none. A PanicException that Python
  // code let through is not an error value: the internal failure resumes.
  static Error fetch();
  // An exception object already taken from the interpreter.
  static Error fetched_from(Ref exception);

  // The exception's type is `type` or a subclass of it.
  bool is(PyObject* type) const;

  // Sets the interpreter's exception indicator.
  void raise() &&;
  // The exception object itself, made now if still pending.
  Ref into_exception() &&;

 private:
  enum class Kind { pending, panic, no_memory, fetched };
  Error(Kind kind, PyObject* type, std::string message, Ref exception)
      : kind_(kind), type_(type), message_(std::move(message)), exception_(std::move(exception)) {}

  Kind kind_;
  PyObject* type_;  // borrowed: the interpreter's static exception types
  std::string message_;
  Ref exception_;  // the fetched exception
};

template <class T>
using Result = Expected<T, Error>;

// Takes and drops the pending exception (the fetch rule still applies).
void discard_pending_error();

// The PanicException type, made on first need and kept for the process.
PyObject* panic_exception_type();

// Null object check: the interpreter could not make an object the body
// cannot do without. Reports the interpreter's error through the unraisable
// hook and ends in the internal failure "PyObject pointer is null".
Ref require(PyObject* made, std::source_location where = std::source_location::current());

// An internal failure reached a place where it cannot be caught.
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
  } catch (const Panic& failure) {
    return Error::internal_failure(failure.message());
  } catch (const std::bad_alloc&) {
    return Error::no_memory();
  } catch (...) {
    return Error::internal_failure(kGenericPanicMessage);
  }
}
}  // namespace detail

// The entry frame around every call from the interpreter: runs `body`
// (returning Result<T>) and returns its value, or raises its error and
// returns `failed`. Raising is not protected: an internal failure while
// raising ends the process through the escape trap.
template <class T, class Body>
T entry_frame(T failed, Body&& body) noexcept {
  T value = failed;
  std::optional<Error> error;
  try {
    error = detail::run_body(body, value);
    if (!error) return value;
    std::move(*error).raise();
  } catch (...) {
    escape_trap();
  }
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
  try {
    auto wrapped = [&]() -> Result<int> {
      body();
      return 0;
    };
    int unused = 0;
    std::optional<Error> error = detail::run_body(wrapped, unused);
    if (!error) return;
    PyObject* saved = PyErr_GetRaisedException();
    std::move(*error).raise();
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(saved);
  } catch (...) {
    escape_trap();
  }
}

}  // namespace tessaly
