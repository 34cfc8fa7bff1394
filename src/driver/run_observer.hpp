// Hooks that another program can hang on a run, to read the fit's own doubles
// as the run reaches them. Each is called at a fixed point of the run
// and sees the run data in declare; an observer must not change that data or
// write to the run's units, so that the run prints, writes and ends exactly as
// it does without one.
#pragma once

namespace driver {

class RunObserver {
 public:
  // The problem is built and checked: TIME, ABVLSX, DYKELPO, KP, K and
  // AVGWMOL hold it.
  virtual void problem_ready() {}
  // bvls is about to be called for target bin r (1 ... 6).
  virtual void solving(int /*r*/) {}
  // bvls has returned for target bin r: ALPHA holds its solution before the
  // target's own coefficient is shifted, ALPHAL and ALPHAU the bounds, BBVLS
  // the right-hand side, ISTATEBVLS and LOOPABVLS the solver's state.
  virtual void solved(int /*r*/) {}
  // ALPHA holds the coefficients of solve r as the report writes them.
  virtual void reported(int /*r*/) {}
  // The results file is complete and closed; the plain stop comes next.
  virtual void finished() {}

 protected:
  ~RunObserver() = default;
};

}  // namespace driver
