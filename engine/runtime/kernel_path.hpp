// The instruction sets the scoring kernels can run on, picked at run time.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace tessaly {

enum class KernelPath { scalar, sse2, avx2, avx512, neon };
inline constexpr std::size_t kKernelPathCount = 5;

std::string_view kernel_path_name(KernelPath path) noexcept;

// The paths this processor can run, scalar first, widest last.
std::span<const KernelPath> available_kernel_paths() noexcept;
// The one searches use: the widest.
KernelPath best_kernel_path() noexcept;

}  // namespace tessaly
