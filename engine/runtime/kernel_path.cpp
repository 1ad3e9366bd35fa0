#include "engine/runtime/kernel_path.hpp"

#include <array>

#include "engine/base/instruction_sets.hpp"

namespace tessaly {
namespace {

struct Paths {
  std::array<KernelPath, kKernelPathCount> available{};
  std::size_t count = 0;

  void add(KernelPath path) noexcept {
    if (count < available.size()) available[count++] = path;
  }
};

Paths detect() noexcept {
  const InstructionSets& sets = instruction_sets();
  Paths paths;
  paths.add(KernelPath::scalar);
#if defined(__x86_64__) || defined(__i386__)
  if (sets.sse2) paths.add(KernelPath::sse2);
  if (sets.avx2) paths.add(KernelPath::avx2);
  if (sets.avx2_vnni) paths.add(KernelPath::avx2_vnni);
  if (sets.avx512f) paths.add(KernelPath::avx512);
  if (sets.avx512_vnni) paths.add(KernelPath::avx512_vnni);
#endif
#if defined(__aarch64__)
  paths.add(KernelPath::neon);  // part of every 64-bit ARM processor
  if (sets.neon_dot) paths.add(KernelPath::neon_dot);
#endif
  return paths;
}

const Paths& paths() noexcept {
  static const Paths detected = detect();
  return detected;
}

}  // namespace

std::string_view kernel_path_name(KernelPath path) noexcept {
  switch (path) {
    case KernelPath::scalar: return "scalar";
    case KernelPath::sse2: return "sse2";
    case KernelPath::avx2: return "avx2";
    case KernelPath::avx2_vnni: return "avx2_vnni";
    case KernelPath::avx512: return "avx512";
    case KernelPath::avx512_vnni: return "avx512_vnni";
    case KernelPath::neon: return "neon";
    case KernelPath::neon_dot: return "neon_dot";
  }
  return "unknown";
}

std::span<const KernelPath> available_kernel_paths() noexcept {
  return {paths().available.data(), paths().count};
}

KernelPath best_kernel_path() noexcept { return paths().available[paths().count - 1]; }

}  // namespace tessaly
