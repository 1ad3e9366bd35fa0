// Pins the floating-point environment the bits depend on.
//
// Scores and conversions are defined with round-to-nearest-even and
// subnormals computed in full. Another library in the process (one built
// with -ffast-math, say) may have switched on flush-to-zero or
// denormals-are-zero, or changed the rounding mode, for the thread that
// calls us; threads we start inherit it. So arithmetic that fixes bits runs
// with the SSE control register set to the defaults, restored afterwards.
#pragma once

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#define TESSALY_HAS_MXCSR 1
#endif

namespace tessaly {

#if TESSALY_HAS_MXCSR
// Rounding to nearest (bits 13-14 clear), no flush-to-zero (bit 15), no
// denormals-are-zero (bit 6); exception masks and flags left alone.
inline constexpr unsigned kRoundingAndFlushBits = 0x6000u | 0x8000u | 0x0040u;

// Keeps the compiler from moving memory accesses across a change of mode.
inline void mode_barrier() noexcept { asm volatile("" ::: "memory"); }
#endif

// For the lifetime of the object.
class FloatEnvironment {
 public:
#if TESSALY_HAS_MXCSR
  FloatEnvironment() noexcept : saved_(_mm_getcsr()) {
    if (saved_ & kRoundingAndFlushBits) _mm_setcsr(saved_ & ~kRoundingAndFlushBits);
    mode_barrier();
  }
  ~FloatEnvironment() {
    mode_barrier();
    if (saved_ & kRoundingAndFlushBits) _mm_setcsr(saved_);
  }

 private:
  unsigned saved_;
#endif
 public:
  FloatEnvironment(const FloatEnvironment&) = delete;
  FloatEnvironment& operator=(const FloatEnvironment&) = delete;
};

// static_cast<To>(value) with round-to-nearest-even and subnormals kept,
// in any mode. One read of the control register when the mode is the
// default.
template <class To, class From>
inline To convert_in_default_mode(From value) noexcept {
#if TESSALY_HAS_MXCSR
  const unsigned mode = _mm_getcsr();
  if (mode & kRoundingAndFlushBits) {
    _mm_setcsr(mode & ~kRoundingAndFlushBits);
    asm volatile("" : "+x"(value));  // convert after the mode is set...
    To converted = static_cast<To>(value);
    asm volatile("" : "+x"(converted));  // ...and before it is restored
    _mm_setcsr(mode);
    return converted;
  }
#endif
  return static_cast<To>(value);
}

// double to float; subnormals and the rounding depend on the mode.
inline float narrow_to_float(double value) noexcept { return convert_in_default_mode<float>(value); }

// float to double: exact, unless denormals-are-zero turns a subnormal into 0.
inline double widen_to_double(float value) noexcept { return convert_in_default_mode<double>(value); }

}  // namespace tessaly
