// search_arrays' where=: the entries a search ranks, given as booleans in
// insertion order. Only booleans are taken: a mask of numbers is more often
// a mistake (scores, ids, counts) than a choice.
#pragma once

#include <cstddef>
#include <optional>

#include "binding/error.hpp"
#include "binding/python.hpp"
#include "engine/search/entry_mask.hpp"

namespace tessaly {

// None (or not given): no mask. A numpy bool array of `entries` entries, in
// any strides, or anything numpy.asarray makes one of (a list of bools): its
// mask. Another dtype is a TypeError; another shape or length a ValueError
// naming where.
Result<std::optional<EntryMask>> to_entry_mask(PyObject* where, std::size_t entries) noexcept;

}  // namespace tessaly
