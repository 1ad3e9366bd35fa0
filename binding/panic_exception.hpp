// PanicException, the class an internal failure is raised as, and the
// report of one that Python code raised again.
//
// Like SystemExit it derives from BaseException, so that a broad
// 'except Exception' does not swallow it. Below the error values: nothing
// here makes or knows an Error, so that the errors can use it.
#pragma once

#include "binding/python.hpp"
#include "binding/ref.hpp"

namespace tessaly {

// The class, made on first need and kept for the process (null, with the
// interpreter's error set, if it cannot be made).
PyObject* panic_exception_type() noexcept;

// The class if it has been made, else null: only this module makes it, so
// before then no exception is one.
PyObject* panic_exception_type_if_made() noexcept;

// Whether `exception` is a PanicException (or of a subclass).
bool is_panic_exception(PyObject* exception) noexcept;

// A PanicException that Python code let through (one this module raised
// and an element's __float__ did not catch, say) resumes as the failure it
// was, its report already written. This prints it once, with its traceback,
// taking the exception, and returns its text, made printable; null when it
// has none (str() failed).
Ref print_resumed_panic(Ref exception) noexcept;

}  // namespace tessaly
