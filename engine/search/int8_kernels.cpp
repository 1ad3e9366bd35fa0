#include "engine/search/int8_kernels.hpp"

namespace tessaly {

const Int8Kernels& int8_kernels(KernelPath) noexcept { return kernels::scalar_int8; }

}  // namespace tessaly
