// The floating-point mode of the whole computation.
#pragma once

namespace diagnostics {

// Flush-to-zero and denormals-are-zero on, round-to-nearest, every
// floating-point exception masked: no arithmetic ever traps, and denormal
// operands and results count as zero. The main program's first action.
void set_float_mode();

// The mode above for a scope of a thread that is not the program's (a fit in
// memory inside another program): set on entry, the thread's own mode put
// back on exit.
class FloatModeScope {
 public:
  FloatModeScope();
  ~FloatModeScope();
  FloatModeScope(const FloatModeScope&) = delete;
  FloatModeScope& operator=(const FloatModeScope&) = delete;

 private:
  unsigned saved_;
};

}  // namespace diagnostics
