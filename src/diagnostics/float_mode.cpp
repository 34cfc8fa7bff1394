#include "diagnostics/float_mode.hpp"

#include <xmmintrin.h>

namespace diagnostics {

void set_float_mode() {
  constexpr unsigned kExceptionMasks = 0x1F80;  // IM DM ZM OM UM PM
  constexpr unsigned kDenormalsAreZero = 0x0040;
  constexpr unsigned kFlushToZero = 0x8000;
  // Rounding-control bits 13-14 left at 00: round to nearest.
  _mm_setcsr(kExceptionMasks | kDenormalsAreZero | kFlushToZero);
}

FloatModeScope::FloatModeScope() : saved_(_mm_getcsr()) { set_float_mode(); }

FloatModeScope::~FloatModeScope() { _mm_setcsr(saved_); }

}  // namespace diagnostics
