// Pins the floating-point environment the kernel's bits depend on.
//
// Scores are defined with round-to-nearest-even and subnormals computed in
// full. Another library in the process (one built with -ffast-math, say)
// may have switched on flush-to-zero or denormals-are-zero, or changed the
// rounding mode, for the thread that calls us; threads we start inherit it.
// Each scoring thread therefore sets the SSE control register to the
// defaults for the duration of its work and restores it afterwards.
#pragma once

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace tessaly {

class FloatEnvironment {
 public:
#if defined(__SSE__) || defined(__x86_64__)
  // Rounding to nearest (bits 13-14 clear), no flush-to-zero (bit 15), no
  // denormals-are-zero (bit 6); exception masks and flags left alone.
  static constexpr unsigned kRoundingAndFlushBits = 0x6000u | 0x8000u | 0x0040u;

  FloatEnvironment() noexcept : saved_(_mm_getcsr()) {
    if (saved_ & kRoundingAndFlushBits) _mm_setcsr(saved_ & ~kRoundingAndFlushBits);
  }
  ~FloatEnvironment() {
    if (saved_ & kRoundingAndFlushBits) _mm_setcsr(saved_);
  }

 private:
  unsigned saved_;
#endif
 public:
  FloatEnvironment(const FloatEnvironment&) = delete;
  FloatEnvironment& operator=(const FloatEnvironment&) = delete;
};

}  // namespace tessaly
