// The versions of copying one whole block (16 entries) into its rows, as
// row_copy.cpp picks one for this processor. Each writes entry j's
// elements at out + j d, d floats per row.
#pragma once

#include <cstddef>

#include "engine/store/block_chunks.hpp"

namespace tessaly::row_copy {

using CopyBlock = void (*)(const float* block, std::size_t d, float* out) noexcept;

// Elements `from` to d of every entry: the whole block when `from` is 0,
// and what a wider version leaves over.
void portable_block_from(const float* block, std::size_t d, std::size_t from, float* out) noexcept;
void portable_block(const float* block, std::size_t d, float* out) noexcept;
#if defined(__x86_64__) || defined(__i386__)
void avx2_block(const float* block, std::size_t d, float* out) noexcept;
#endif

}  // namespace tessaly::row_copy
