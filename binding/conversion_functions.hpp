// The module's private functions: the store methods' own argument
// conversions and checks, run for a given vector size without a store, so
// that tessaly_dask converts queries, rows and ids to tessaly's bits and
// fails with tessaly's errors.
//
//   _search_arguments(vector_size, vector, top_k) -> (query, top_k)
//       raises what Vectorstore(vector_size).search(vector, top_k) raises,
//       in its order; query: the float32 elements, shape (vector_size,)
//   _search_batch_arguments(vector_size, vectors, top_k) -> (queries, top_k)
//       the same for search_batch (and search_arrays); queries: float32,
//       C-contiguous, shape (len(vectors), vector_size)
//   _id_array(ids) -> uint64 array of the ids, each converted as insert
//       converts its id, whose error it raises
//   _check_id_count(id_count, row_count) -> None
//       raises from_array's ValueError when the counts differ
//   _first_pass(first_pass) -> "int8" or None
//       raises what from_array raises for its first_pass
//   _where_argument(entries, where) -> None or a numpy bool array
//       raises what search_arrays of a store of `entries` entries raises
//       for its where; the array: numpy.asarray(where)
//
// Their names start with an underscore: they are no part of __all__, nor of
// the module's namespace (module.cpp finds them for __getattr__).
#pragma once

#include "binding/python.hpp"

namespace tessaly {

// The functions' definitions, up to a null entry.
extern PyMethodDef conversion_function_defs[];

}  // namespace tessaly
