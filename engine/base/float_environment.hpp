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

#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE__))
#include <xmmintrin.h>
#endif

namespace tessaly {
namespace float_controls {

// One section per architecture, each with the same names: whether a mode
// is pinned at all, the control register's mode and the bits that must be
// clear, a barrier that keeps a value in a float register while the mode is
// set, and the x87 rounding control (on x86 only).

#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE__))
// x86: SSE arithmetic follows MXCSR. Rounding to nearest (bits 13-14
// clear), no flush-to-zero (bit 15), no denormals-are-zero (bit 6);
// exception masks and flags left alone. The x87 rounding control (bits
// 10-11) is cleared to nearest as well.
inline constexpr bool kPinned = true;
using Mode = unsigned;
inline constexpr Mode kRoundingAndFlushBits = 0x6000u | 0x8000u | 0x0040u;
inline Mode read_mode() noexcept { return _mm_getcsr(); }
inline void write_mode(Mode mode) noexcept { _mm_setcsr(mode); }
template <class T>
inline void in_float_register(T& value) noexcept {
  asm volatile("" : "+x"(value));
}
inline constexpr unsigned short kX87RoundingBits = 0x0C00u;
inline unsigned short read_x87_control() noexcept {
  unsigned short word;
  asm volatile("fnstcw %0" : "=m"(word));
  return word;
}
inline void write_x87_control(unsigned short word) noexcept { asm volatile("fldcw %0" : : "m"(word)); }

#elif defined(__aarch64__)
// aarch64: FPCR. Rounding to nearest (RMode, bits 22-23, clear), no
// flush-to-zero (FZ, bit 24), the IEEE handling of subnormals rather than
// the alternate one (AH, bit 1) and no flushing of subnormal inputs (FIZ,
// bit 0; like AH, reserved as zero where unimplemented). Half precision
// (FZ16), default NaN and the trap enables are left alone: no score depends
// on them. There is no x87 unit.
inline constexpr bool kPinned = true;
using Mode = std::uint64_t;
inline constexpr Mode kRoundingAndFlushBits =
    (std::uint64_t{3} << 22) | (std::uint64_t{1} << 24) | (std::uint64_t{1} << 1) | std::uint64_t{1};
inline Mode read_mode() noexcept {
  Mode mode;
  asm volatile("mrs %0, fpcr" : "=r"(mode));
  return mode;
}
inline void write_mode(Mode mode) noexcept { asm volatile("msr fpcr, %0" : : "r"(mode)); }
template <class T>
inline void in_float_register(T& value) noexcept {
  asm volatile("" : "+w"(value));
}
inline constexpr unsigned short kX87RoundingBits = 0;
inline unsigned short read_x87_control() noexcept { return 0; }
inline void write_x87_control(unsigned short) noexcept {}

#else
// Elsewhere nothing is pinned: the build's defaults are relied on.
inline constexpr bool kPinned = false;
using Mode = unsigned;
inline constexpr Mode kRoundingAndFlushBits = 0;
inline Mode read_mode() noexcept { return 0; }
inline void write_mode(Mode) noexcept {}
template <class T>
inline void in_float_register(T&) noexcept {}
inline constexpr unsigned short kX87RoundingBits = 0;
inline unsigned short read_x87_control() noexcept { return 0; }
inline void write_x87_control(unsigned short) noexcept {}
#endif

// Keeps the compiler from moving memory accesses across a change of mode.
inline void mode_barrier() noexcept { asm volatile("" ::: "memory"); }

}  // namespace float_controls

// For the lifetime of the object.
class FloatEnvironment {
 public:
  FloatEnvironment() noexcept {
    using namespace float_controls;
    if constexpr (kPinned) {
      saved_ = read_mode();
      if (saved_ & kRoundingAndFlushBits) write_mode(saved_ & ~kRoundingAndFlushBits);
      saved_x87_ = read_x87_control();
      if (saved_x87_ & kX87RoundingBits) write_x87_control(static_cast<unsigned short>(saved_x87_ & ~kX87RoundingBits));
      mode_barrier();
    }
  }
  ~FloatEnvironment() {
    using namespace float_controls;
    if constexpr (kPinned) {
      mode_barrier();
      if (saved_ & kRoundingAndFlushBits) write_mode(saved_);
      if (saved_x87_ & kX87RoundingBits) write_x87_control(saved_x87_);
    }
  }
  FloatEnvironment(const FloatEnvironment&) = delete;
  FloatEnvironment& operator=(const FloatEnvironment&) = delete;

 private:
  float_controls::Mode saved_ = 0;
  unsigned short saved_x87_ = 0;
};

// static_cast<To>(value) with round-to-nearest-even and subnormals kept,
// in any mode. One read of the control register when the mode is the
// default.
template <class To, class From>
inline To convert_in_default_mode(From value) noexcept {
  using namespace float_controls;
  if constexpr (kPinned) {
    const Mode mode = read_mode();
    if (mode & kRoundingAndFlushBits) {
      write_mode(mode & ~kRoundingAndFlushBits);
      in_float_register(value);  // convert after the mode is set...
      To converted = static_cast<To>(value);
      in_float_register(converted);  // ...and before it is restored
      write_mode(mode);
      return converted;
    }
  }
  return static_cast<To>(value);
}

// double to float; subnormals and the rounding depend on the mode.
inline float narrow_to_float(double value) noexcept { return convert_in_default_mode<float>(value); }

// float to double: exact, unless denormals-are-zero turns a subnormal into 0.
inline double widen_to_double(float value) noexcept { return convert_in_default_mode<double>(value); }

// The smallest float not below `value` (in the default mode), for bounds
// that rounding may only widen.
inline float float_at_least(double value) noexcept {
  float rounded = narrow_to_float(value);
  if (static_cast<double>(rounded) < value) rounded = __builtin_nextafterf(rounded, __builtin_inff());
  return rounded;
}

}  // namespace tessaly
