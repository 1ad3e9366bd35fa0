// Times of the first pass's integer kernels alone, for the benchmark's notes
// on their constants: how near one query comes to a plain read, and how
// many products a group makes per second.
#pragma once

#include <cstddef>

#include "engine/runtime/kernel_path.hpp"

namespace tessaly {

// Seconds for one query's dot products over `blocks` int8 blocks of `lines`
// lines, a buffer read once from memory per round (the median of `rounds`);
// negative if the buffer could not be had.
double time_int8_dot(KernelPath path, std::size_t blocks, std::size_t lines, std::size_t rounds) noexcept;

// Int8 products per second of a full group of the path's queries over a
// tile of `blocks` blocks that stays in cache, from the median of `rounds`
// rounds of about 2 * 10^9 products; negative if the buffers could not be
// had.
double int8_group_rate(KernelPath path, std::size_t blocks, std::size_t lines, std::size_t rounds) noexcept;

}  // namespace tessaly
