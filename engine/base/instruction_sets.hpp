// The instruction sets this processor offers, as the kernels and the
// quantization of the int8 copy need to know them. Found once, on first
// use, by a plain test rather than by the loader (an ifunc): a resolver
// runs before sanitizers' runtimes, and no C library but glibc supports it.
#pragma once

namespace tessaly {

struct InstructionSets {
  bool sse2 = false;
  bool avx2 = false;
  bool avx2_vnni = false;  // AVX-VNNI on top of AVX2
  bool avx512f = false;
  // AVX-512's byte and word instructions, which a few processors with
  // AVX-512F lack (Xeon Phi).
  bool avx512bw = false;
  bool avx512_vnni = false;
  bool neon_dot = false;  // aarch64's dot-product extension (NEON itself is always there)
};

const InstructionSets& instruction_sets() noexcept;

}  // namespace tessaly
