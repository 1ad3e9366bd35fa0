#include "engine/search/int8_kernels.hpp"

#include "engine/base/instruction_sets.hpp"

namespace tessaly {

const Int8Kernels& int8_kernels(KernelPath path) noexcept {
  switch (path) {
#if defined(__x86_64__) || defined(__i386__)
    case KernelPath::sse2: return kernels::sse2_int8;
    case KernelPath::avx2: return kernels::avx2_int8;
    case KernelPath::avx2_vnni: return kernels::avx2_vnni_int8;
    case KernelPath::avx512: {
      // The byte multiplies on 512 bits are AVX512BW's; a processor with
      // AVX-512F alone (Xeon Phi) has AVX2, whose kernels do the same work
      // in halves.
      return instruction_sets().avx512bw ? kernels::avx512_int8 : kernels::avx2_int8;
    }
    case KernelPath::avx512_vnni: return kernels::avx512_vnni_int8;
#endif
#if defined(__aarch64__)
    case KernelPath::neon: return kernels::neon_int8;
    case KernelPath::neon_dot: return kernels::neon_dot_int8;
#endif
    default: break;
  }
  return kernels::scalar_int8;
}

}  // namespace tessaly
