// Rows added in bulk: Vectorstore.from_array and Vectorstore.append.
//
// `vectors` is a two-dimensional batch, as search_batch takes one, and
// `ids` None (the row numbers) or a sequence or array of as many integers.
// Row i and id i are converted as the constructor converts its i-th pair,
// in the same order, with the same errors; a float32 or float64 array is
// read in place, and an integer numpy array of ids in one go. Either every
// row is added or none: whatever fails, the store is left as it was.
#pragma once

#include <cstdint>

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "engine/base/function_ref.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {

// append(vectors, ids=None): ids None continues the row numbers from len(store).
Result<void> append_rows(Vectorstore& store, PyObject* vectors, PyObject* ids) noexcept;

// from_array(vectors, ids=None): a new store whose vector_size is the
// array's number of columns, or the first row's length.
Result<Vectorstore> store_from_rows(PyObject* vectors, PyObject* ids) noexcept;

// Every id of a sequence or array, read as from_array reads them: an
// integer numpy array in one go, anything else id by id with to_u64.
// `room(count)` gives where `count` ids go; it is called once, before they
// are read when an integer array tells their number, else after. A failure
// to read an id names the argument `id_name`; a failure of `ids` itself
// (None included: it is no sequence) names "ids".
Result<void> read_ids(PyObject* ids, const char* id_name,
                      FunctionRef<Result<std::uint64_t*>(std::size_t)> room) noexcept;

}  // namespace tessaly
