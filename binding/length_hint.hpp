// What an object's len() tells before it is iterated: a hint, which sizes
// a first allocation or checks counts up front but never changes what
// iterating gives.
#pragma once

#include <cstddef>
#include <optional>

#include "binding/error.hpp"
#include "binding/python.hpp"

namespace tessaly {

// What becomes of an exception that len() raises.
enum class LenFailure {
  // Dropped, whatever it is, as iterating reports whatever is wrong: the
  // constructor's, insert's and search's vectors and pairs.
  dropped,
  // Dropped only when a TypeError (no usable len), as operator.length_hint
  // does; anything else, KeyboardInterrupt and SystemExit included, is
  // raised: the batches and ids of the bulk and batch methods.
  raised_unless_type_error,
};

// The object's len(), or nothing when it has none or len() fails (and
// `failure` drops the error). A resumed internal failure (the fetch rule)
// is always returned.
Result<std::optional<std::size_t>> length_hint(PyObject* object, LenFailure failure = LenFailure::dropped) noexcept;

// How many items of `item_bytes` to make room for, by the length hint: none
// without one, and only lists and tuples are trusted beyond a megabyte (a
// custom __len__ may claim far more items than its iterator yields).
Result<std::size_t> reservation_for(PyObject* object, std::size_t item_bytes,
                                    LenFailure failure = LenFailure::dropped) noexcept;

// The same for items that each take a record of `record_bytes`: a hint of
// more records than a size can count is an internal failure ("capacity
// overflow"), as it would be for the allocation it sizes.
Result<std::size_t> addressable_reservation_for(PyObject* object, std::size_t record_bytes,
                                                std::size_t item_bytes) noexcept;

}  // namespace tessaly
