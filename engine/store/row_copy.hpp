// A store's floats given back as rows: each block's element-major lines
// transposed into the rows they were written from, bit for bit.
#pragma once

#include <cstddef>

#include "engine/store/blocks.hpp"

namespace tessaly {

// Writes entries `first` to `last` (exclusive, within capacity) of `blocks`
// at `out`, one row of dimension() floats after another. Only moves bits:
// NaN payloads and signed zeros come back as they went in.
void copy_rows(const Blocks& blocks, std::size_t first, std::size_t last, float* out) noexcept;

}  // namespace tessaly
