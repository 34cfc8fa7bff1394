// The floating-point mode of the whole computation.
#pragma once

namespace diagnostics {

// Flush-to-zero and denormals-are-zero on, round-to-nearest, every
// floating-point exception masked: no arithmetic ever traps, and denormal
// operands and results count as zero. The main program's first action.
void set_float_mode();

}  // namespace diagnostics
