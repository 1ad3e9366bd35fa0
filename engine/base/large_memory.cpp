#include "engine/base/large_memory.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace tessaly::large_memory {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t mapped_length(std::size_t bytes) noexcept { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

// One huge page more than needed, then what lies outside the aligned part
// given back.
void* allocate(std::size_t bytes) noexcept {
  if (bytes > SIZE_MAX - 2 * kHugePage) return nullptr;
  const std::size_t length = mapped_length(bytes);
  void* mapping = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  const auto base = reinterpret_cast<std::uintptr_t>(mapping);
  const std::uintptr_t start = (base + kHugePage - 1) / kHugePage * kHugePage;
  if (start != base) munmap(mapping, start - base);
  if (start - base != kHugePage) munmap(reinterpret_cast<void*>(start + length), kHugePage - (start - base));
  madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(start);
}

// The old pages move to the start of a new aligned block: the kernel moves
// their page table entries, not their bytes.
void* reallocate(void* memory, std::size_t old_bytes, std::size_t bytes) noexcept {
  if (mapped_length(bytes) <= mapped_length(old_bytes)) return memory;
  void* grown = allocate(bytes);
  if (grown == nullptr) return nullptr;
  const std::size_t old_length = mapped_length(old_bytes);
  if (mremap(memory, old_length, old_length, MREMAP_MAYMOVE | MREMAP_FIXED, grown) == MAP_FAILED) {
    release(grown, bytes);
    return nullptr;
  }
  return grown;
}

void release(void* memory, std::size_t bytes) noexcept {
  if (memory != nullptr) munmap(memory, mapped_length(bytes));
}

}  // namespace tessaly::large_memory
