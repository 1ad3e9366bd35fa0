// The frames around every call from the interpreter: where an Error ends.
//
// A body returns Result<T>; the frame returns its value, or raises its
// error into the interpreter. No C++ exception crosses a frame: nothing of
// ours throws, and a foreign one becomes an internal failure.
#pragma once

#include <optional>

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "engine/base/message_texts.hpp"

namespace tessaly {

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
    return Error::internal_failure(kNativeCodePanicked);
  }
}
}  // namespace detail

// The entry frame: runs `body` (returning Result<T>) and returns its value,
// or raises its error and returns `failed`.
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
    TRY_ASSIGN(Ref made, body());
    return made.release();
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
