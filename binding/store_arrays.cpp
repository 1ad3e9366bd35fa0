#include "binding/store_arrays.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "binding/long_call.hpp"
#include "binding/numpy_arrays.hpp"
#include "engine/store/row_copy.hpp"

namespace tessaly {
namespace {

// Output copied between two questions to an interruption: a few hundred
// microseconds of copying, far below its poll interval.
constexpr std::size_t kSliceBytes = std::size_t{1} << 20;

// Entries per slice: whole blocks, so that only a range's own ends are
// partial.
std::size_t slice_entries(std::size_t vector_size) noexcept {
  const std::size_t entry_bytes =
      vector_size > (SIZE_MAX - sizeof(std::uint64_t)) / sizeof(float) ? SIZE_MAX
                                                                         : vector_size * sizeof(float) + sizeof(std::uint64_t);
  return std::max<std::size_t>(kSliceBytes / entry_bytes / kBlockLanes, 1) * kBlockLanes;
}

}  // namespace

Result<Ref> store_to_arrays(const Vectorstore& store, const char* method) noexcept {
  const std::size_t length = store.len();
  const std::size_t width = store.vector_size();
  TRY_ASSIGN(Ref numpy, import_numpy(method));
  void* vectors_data = nullptr;
  void* ids_data = nullptr;
  TRY_ASSIGN(Ref vectors, empty_array(numpy.get(), length, width, "float32", vectors_data));
  TRY_ASSIGN(Ref ids, empty_array(numpy.get(), length, "uint64", ids_data));
  // Making the ids ran Python code (numpy.empty may be replaced) that could
  // have changed the first array: where its elements are is asked again.
  TRY_ASSIGN(vectors_data, array_data(vectors.get(), length, width, "float32"));
  auto* rows = static_cast<float*>(vectors_data);
  auto* id_out = static_cast<std::uint64_t*>(ids_data);
  const std::span<const std::uint64_t> stored_ids = store.ids();
  const std::size_t slice = slice_entries(width);
  auto copy = [&](Interruption& interruption) -> EngineResult<void> {
    for (std::size_t first = 0; first < length; first += slice) {
      if (interruption.requested()) return EngineError::interrupted();
      const std::size_t last = first + std::min(slice, length - first);
      copy_rows(store.blocks(), first, last, rows + first * width);
      std::memcpy(id_out + first, stored_ids.data() + first, (last - first) * sizeof(std::uint64_t));
    }
    return {};
  };
  TRY(without_interpreter_lock(copy));
  return require(PyTuple_Pack(2, vectors.get(), ids.get()));
}

}  // namespace tessaly
