// The portable path: a "register" is one float, so a line is 16 of them.
// Every processor runs it, and it is the one the others are checked against
// besides cosine_score itself.
#include <cmath>

#include "engine/search/cosine.hpp"
#include "engine/search/kernels/lanes.hpp"

namespace tessaly::kernels {
namespace {

struct Scalar {
  using reg = float;
  static constexpr std::size_t width = 1;
  static constexpr std::size_t blocks_at_once = 1;
  static constexpr std::size_t group_size = 4;  // a line alone is 16 of its registers
  static constexpr std::size_t tile_blocks(std::size_t) { return 1; }
  static reg load(const float* p) { return *p; }
  static reg loadu(const float* p) { return *p; }
  static void store(float* p, reg v) { *p = v; }
  static reg set1(float x) { return x; }
  static reg add(reg a, reg b) { return a + b; }
  static reg mul(reg a, reg b) { return a * b; }
  static reg sqrt(reg a) { return std::sqrt(a); }
  static reg finish(reg dot, reg root, float norm) {
    if (root == 0.0f) return 0.0f;
    return canonical_nan(dot / (norm * root));
  }
};

}  // namespace

const BlockKernels scalar = kernels_of<Scalar>();

}  // namespace tessaly::kernels
