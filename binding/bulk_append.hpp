// Rows added in bulk: Vectorstore.from_array and Vectorstore.append.
//
// `vectors` is a two-dimensional batch, as search_batch takes one, and
// `ids` None (the row numbers) or a sequence or array of as many integers.
// Row i and id i are converted as the constructor converts its i-th pair,
// in the same order, with the same errors, except that those of an id name
// `ids` (negative and too large ones too), and a batch of the wrong shape
// says what was expected (batch_shape.hpp); a numpy array or memoryview of
// numbers is read in place (an array by protocol, array_protocol.hpp, once
// converted), and an integer numpy array of ids in one go. Either every
// row is added or none: whatever fails, the store is left as it was.
#pragma once

#include <cstdint>

#include "binding/arguments.hpp"
#include "binding/error.hpp"
#include "binding/python.hpp"
#include "engine/store/vectorstore.hpp"

namespace tessaly {

// append(vectors, ids=None): ids None continues the row numbers from len(store).
Result<void> append_rows(Vectorstore& store, const Argument& vectors, const Argument& ids) noexcept;

// from_array(vectors, ids=None, *, first_pass="int8"): a new store whose
// vector_size is the array's number of columns, or the first row's length,
// with the int8 copy or without. first_pass is converted when the store is
// made: once the arguments are checked and the first row read.
Result<Vectorstore> store_from_rows(const Argument& vectors, const Argument& ids, const Argument& first_pass) noexcept;

}  // namespace tessaly
