// A store's contents as two new numpy arrays: to_arrays, the inverse of
// from_array.
#pragma once

#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {

// (vectors, ids): float32 of shape (len, vector_size), every row's bits as
// stored, and uint64 of shape (len,), both in insertion order. The copy
// runs without the interpreter lock, under the caller's shared access, and
// stops on a signal handler's exception. `method` names the caller in the
// ImportError raised without numpy.
Result<Ref> store_to_arrays(const Vectorstore& store, const char* method) noexcept;

}  // namespace tessaly
