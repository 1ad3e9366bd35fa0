// Pins the floating-point environment the bits depend on.
//
// Scores and conversions are defined with round-to-nearest-even and
// subnormals computed in full. Another library in the process (one built
// with -ffast-math, say) may have switched on flush-to-zero or
// denormals-are-zero, or changed the rounding mode, for the thread that
// calls us; threads we start inherit it. So arithmetic that fixes bits runs
// with the control register (SSE's MXCSR on x86, FPCR on aarch64) set to
// the defaults, restored afterwards. On x86 the x87 control word's rounding
// is set to nearest as well: numpy converts long doubles (and, on 32-bit
// x86, 64-bit integers) to double with x87 instructions, and fesetround
// changes both units.
#pragma once

#include <cstdint>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#define TESSALY_HAS_MXCSR 1
#elif defined(__aarch64__)
#define TESSALY_HAS_FPCR 1
#endif

namespace tessaly {

#if TESSALY_HAS_MXCSR
// Rounding to nearest (bits 13-14 clear), no flush-to-zero (bit 15), no
// denormals-are-zero (bit 6); exception masks and flags left alone.
inline constexpr unsigned kRoundingAndFlushBits = 0x6000u | 0x8000u | 0x0040u;
using FloatMode = unsigned;
inline FloatMode read_float_mode() noexcept { return _mm_getcsr(); }
inline void write_float_mode(FloatMode mode) noexcept { _mm_setcsr(mode); }
// The register class of float and double values, for the barriers below.
#define TESSALY_FLOAT_REGISTER "x"
#elif TESSALY_HAS_FPCR
// Rounding to nearest (RMode, bits 22-23, clear), no flush-to-zero (FZ,
// bit 24), the IEEE handling of subnormals rather than the alternate one
// (AH, bit 1) and no flushing of subnormal inputs (FIZ, bit 0; like AH,
// reserved as zero where unimplemented). Half precision (FZ16), default NaN
// and the trap enables are left alone: no score depends on them.
inline constexpr std::uint64_t kRoundingAndFlushBits =
    (std::uint64_t{3} << 22) | (std::uint64_t{1} << 24) | (std::uint64_t{1} << 1) | std::uint64_t{1};
using FloatMode = std::uint64_t;
inline FloatMode read_float_mode() noexcept {
  FloatMode mode;
  asm volatile("mrs %0, fpcr" : "=r"(mode));
  return mode;
}
inline void write_float_mode(FloatMode mode) noexcept { asm volatile("msr fpcr, %0" : : "r"(mode)); }
#define TESSALY_FLOAT_REGISTER "w"
#endif

#ifdef TESSALY_FLOAT_REGISTER
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
#ifdef TESSALY_FLOAT_REGISTER
  FloatEnvironment() noexcept : saved_(read_float_mode()) {
    if (saved_ & kRoundingAndFlushBits) write_float_mode(saved_ & ~kRoundingAndFlushBits);
#if TESSALY_HAS_X87
    saved_x87_ = x87_control();
    if (saved_x87_ & kX87RoundingBits) set_x87_control(saved_x87_ & ~kX87RoundingBits);
#endif
    mode_barrier();
  }
  ~FloatEnvironment() {
    mode_barrier();
    if (saved_ & kRoundingAndFlushBits) write_float_mode(saved_);
#if TESSALY_HAS_X87
    if (saved_x87_ & kX87RoundingBits) set_x87_control(saved_x87_);
#endif
  }

 private:
  FloatMode saved_;
#if TESSALY_HAS_X87
  unsigned short saved_x87_;
#endif
#else
  FloatEnvironment() noexcept {}
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
#ifdef TESSALY_FLOAT_REGISTER
  const FloatMode mode = read_float_mode();
  if (mode & kRoundingAndFlushBits) {
    write_float_mode(mode & ~kRoundingAndFlushBits);
    asm volatile("" : "+" TESSALY_FLOAT_REGISTER(value));  // convert after the mode is set...
    To converted = static_cast<To>(value);
    asm volatile("" : "+" TESSALY_FLOAT_REGISTER(converted));  // ...and before it is restored
    write_float_mode(mode);
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
