// str objects as UTF-8, for text written out: exception messages and the
// failure report.
//
// Low-level: these report failure as the interpreter does (null, with its
// error set) or not at all, and depend on nothing of the error values, so
// that the errors themselves can use them.
#pragma once

#include <string_view>

#include "binding/python.hpp"
#include "binding/ref.hpp"

namespace tessaly {

// The str itself, or, if it holds lone surrogates, a copy in which each
// invalid byte sequence of their surrogatepass encoding becomes U+FFFD.
// Null, with the interpreter's error set, if the copy cannot be made.
Ref printable_str(PyObject* str) noexcept;

// The UTF-8 of a str, kept by the str; empty (with no error left set) if it
// cannot be had.
std::string_view utf8_or_empty(PyObject* str) noexcept;

}  // namespace tessaly
