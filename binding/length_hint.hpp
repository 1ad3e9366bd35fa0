// What an object's len() tells before it is iterated: a hint, which sizes
// a first allocation or checks counts up front but never changes what
// iterating gives.
#pragma once

#include <cstddef>
#include <optional>

#include "binding/error.hpp"
#include "binding/python.hpp"

namespace tessaly {

// The object's len(), or nothing when it has none or len() fails. Only a
// hint: its failure is dropped, as iterating reports whatever is wrong,
// except for a resumed internal failure (the fetch rule), which is returned.
Result<std::optional<std::size_t>> length_hint(PyObject* object) noexcept;

// How many items of `item_bytes` to make room for, by the length hint: none
// without one, and only lists and tuples are trusted beyond a megabyte (a
// custom __len__ may claim far more items than its iterator yields).
Result<std::size_t> reservation_for(PyObject* object, std::size_t item_bytes) noexcept;

// The same for items that each take a record of `record_bytes`: a hint of
// more records than a size can count is an internal failure ("capacity
// overflow"), as it would be for the allocation it sizes.
Result<std::size_t> addressable_reservation_for(PyObject* object, std::size_t record_bytes,
                                                std::size_t item_bytes) noexcept;

}  // namespace tessaly
