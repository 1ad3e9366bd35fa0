#include "engine/base/instruction_sets.hpp"

#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace tessaly {
namespace {

InstructionSets detect() noexcept {
  InstructionSets sets;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  sets.sse2 = __builtin_cpu_supports("sse2");
  sets.avx2 = __builtin_cpu_supports("avx2");
  sets.avx2_vnni = sets.avx2 && __builtin_cpu_supports("avxvnni");
  sets.avx512f = __builtin_cpu_supports("avx512f");
  sets.avx512bw = sets.avx512f && __builtin_cpu_supports("avx512bw");
  sets.avx512_vnni = sets.avx512f && __builtin_cpu_supports("avx512vnni");
#endif
#if defined(__aarch64__)
  sets.neon_dot = (getauxval(AT_HWCAP) & HWCAP_ASIMDDP) != 0;
#endif
  return sets;
}

}  // namespace

const InstructionSets& instruction_sets() noexcept {
  static const InstructionSets detected = detect();
  return detected;
}

}  // namespace tessaly
