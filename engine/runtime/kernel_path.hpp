// The instruction sets the scoring kernels can run on, picked at run time.
// Each architecture's paths run from the narrowest to the widest; a path
// with integer dot products (VNNI, the dot-product extension) scores floats
// as the path below it does.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace tessaly {

enum class KernelPath { scalar, sse2, avx2, avx2_vnni, avx512, avx512_vnni, neon, neon_dot };
inline constexpr std::size_t kKernelPathCount = 8;

std::string_view kernel_path_name(KernelPath path) noexcept;

// The paths this processor can run, scalar first, widest last.
std::span<const KernelPath> available_kernel_paths() noexcept;
// The one searches use: the widest.
KernelPath best_kernel_path() noexcept;

}  // namespace tessaly
