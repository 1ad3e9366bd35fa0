// The shape a batch of vectors must have (search_batch, parallel_search_batch,
// search_arrays, from_array, append: rows of a 2-D array or a sequence of
// vectors), and the errors that say how a given object misses it and how to
// mend it, as the usual mistakes (one vector, a scalar, a data frame) would
// otherwise surface as a complaint about one of its elements.
#pragma once

#include <cstddef>

#include "binding/error.hpp"
#include "binding/python.hpp"

namespace tessaly {

// The checks a batch passes before it is read: a str is refused with the
// text every vector argument gives; anything that is not a sequence, and a
// numpy array of fewer than two dimensions (of any dtype but object, whose
// items may be vectors), is a TypeError that says what was expected.
Result<void> check_batch(PyObject* batch) noexcept;

// The same check for item `index` of `batch`, before it is read as a
// vector: a number where a vector goes says the batch was one vector, or an
// array-like whose iteration gives no rows (a data frame gives its column
// labels).
Result<void> check_batch_item(PyObject* batch, PyObject* item, std::size_t index) noexcept;

// An id sequence's own shape (from_array, append): a numpy array of ids has
// one dimension.
Result<void> check_id_shape(PyObject* ids) noexcept;

}  // namespace tessaly
