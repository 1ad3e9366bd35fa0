// The instruction sets the scoring kernel can run on, picked at run time.
#pragma once

#include <span>
#include <string_view>

namespace tessaly {

enum class KernelPath { scalar, sse2, avx2, avx512 };

std::string_view kernel_path_name(KernelPath path) noexcept;

// The paths this processor can run, scalar first, widest last.
std::span<const KernelPath> available_kernel_paths() noexcept;
// The one searches use.
KernelPath best_kernel_path() noexcept;

}  // namespace tessaly
