// A 4 x 4 tile of floats transposed in registers: rows into a block's
// lines when a store is written, and lines back into rows when it is read
// out. The transpose is its own inverse, and shuffles never touch a value,
// so the bits come out as they went in.
#pragma once

#include <cstdint>

namespace tessaly {

using FloatQuad = float __attribute__((vector_size(16)));

// out[k] holds element k of each of in[0 .. 3].
inline void transpose_quads(const FloatQuad (&in)[4], FloatQuad (&out)[4]) noexcept {
  using Ints = std::int32_t __attribute__((vector_size(16)));
  const FloatQuad low01 = __builtin_shuffle(in[0], in[1], Ints{0, 4, 1, 5});
  const FloatQuad high01 = __builtin_shuffle(in[0], in[1], Ints{2, 6, 3, 7});
  const FloatQuad low23 = __builtin_shuffle(in[2], in[3], Ints{0, 4, 1, 5});
  const FloatQuad high23 = __builtin_shuffle(in[2], in[3], Ints{2, 6, 3, 7});
  out[0] = __builtin_shuffle(low01, low23, Ints{0, 1, 4, 5});
  out[1] = __builtin_shuffle(low01, low23, Ints{2, 3, 6, 7});
  out[2] = __builtin_shuffle(high01, high23, Ints{0, 1, 4, 5});
  out[3] = __builtin_shuffle(high01, high23, Ints{2, 3, 6, 7});
}

}  // namespace tessaly
