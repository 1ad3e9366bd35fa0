// Pins the floating-point environment the bits depend on.
//
// Scores and conversions are defined with round-to-nearest-even and
// subnormals computed in full. Another library in the process (one built
// with -ffast-math, say) may have switched on flush-to-zero or
// denormals-are-zero, or changed the rounding mode, for the thread that
// calls us; threads we start inherit it. So arithmetic that fixes bits runs
// with the SSE control register set to the defaults, restored afterwards,
// and so do conversions, for which the x87 control word's rounding is set
// to nearest as well: numpy converts long doubles (and, on 32-bit x86,
// 64-bit integers) to double with x87 instructions, and fesetround changes
// both units.
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

#if defined(__x86_64__) || defined(__i386__)
#define TESSALY_HAS_X87 1
// The x87 rounding control (bits 10-11); clear is to nearest.
inline constexpr unsigned short kX87RoundingBits = 0x0C00u;
inline unsigned short x87_control() noexcept {
  unsigned short word;
  asm volatile("fnstcw %0" : "=m"(word));
  return word;
}
inline void set_x87_control(unsigned short word) noexcept { asm volatile("fldcw %0" : : "m"(word)); }
#endif

// For the lifetime of the object.
class FloatEnvironment {
 public:
#if TESSALY_HAS_MXCSR
  FloatEnvironment() noexcept : saved_(_mm_getcsr()) {
    if (saved_ & kRoundingAndFlushBits) _mm_setcsr(saved_ & ~kRoundingAndFlushBits);
#if TESSALY_HAS_X87
    saved_x87_ = x87_control();
    if (saved_x87_ & kX87RoundingBits) set_x87_control(saved_x87_ & ~kX87RoundingBits);
#endif
    mode_barrier();
  }
  ~FloatEnvironment() {
    mode_barrier();
    if (saved_ & kRoundingAndFlushBits) _mm_setcsr(saved_);
#if TESSALY_HAS_X87
    if (saved_x87_ & kX87RoundingBits) set_x87_control(saved_x87_);
#endif
  }

 private:
  unsigned saved_;
#if TESSALY_HAS_X87
  unsigned short saved_x87_;
#endif
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
