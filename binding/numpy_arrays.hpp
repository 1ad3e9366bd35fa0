// New numpy arrays, for results that callers want as arrays.
//
// numpy is imported when the first such result is made: the module works
// without it, and only these results need it.
#pragma once

#include <cstddef>

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "binding/ref.hpp"

namespace tessaly {

// The numpy module, imported now; without it, ImportError saying that
// `method` ("search_arrays") needs it.
Result<Ref> import_numpy(const char* method) noexcept;

// A new C-contiguous numpy array of `rows` x `width` elements of `dtype`
// ("float32", "uint64"), and where its elements are.
Result<Ref> empty_array(PyObject* numpy, std::size_t rows, std::size_t width, const char* dtype,
                        void*& data) noexcept;
// Where the elements of an array that empty_array made are, checked again
// (as above) once other Python code may have run: making the next array,
// whose numpy.empty may be a replacement that keeps and changes this one.
Result<void*> array_data(PyObject* array, std::size_t rows, std::size_t width, const char* dtype) noexcept;
// The same of one dimension: `length` elements.
Result<Ref> empty_array(PyObject* numpy, std::size_t length, const char* dtype, void*& data) noexcept;

}  // namespace tessaly
