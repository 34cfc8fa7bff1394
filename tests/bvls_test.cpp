// bvls on small problems whose course can be followed by hand: the results,
// the partition, the iteration count and every byte written, including the
// runs that end with one of the solver's messages or a diagnostic.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "boundedls/boundedls.hpp"
#include "diagnostics/float_mode.hpp"
#include "run_program.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The line of blanks: the one-character item " " as a list-directed record.
const std::string kBlankLine = "  \n";

struct Problem {
  std::int32_t key;
  std::int32_t m, n;
  std::vector<double> a, b, bl, bu;
  std::vector<std::int32_t> istate;  // N + 1 entries; read only for a warm start
};

struct Solution {
  std::vector<double> x;
  std::vector<std::int32_t> istate;
  std::int32_t loopa;
};

// Calls bvls on a copy of the problem. X starts as NaN: its entry contents
// must not matter.
Solution solve(const Problem& p) {
  Solution s{std::vector<double>(p.n, kNaN), p.istate, -99};
  s.istate.resize(static_cast<std::size_t>(p.n) + 1, 99);
  boundedls::bvls(p.key, p.m, p.n, p.a.data(), p.b.data(), p.bl.data(), p.bu.data(), s.x.data(),
                  s.istate.data(), s.loopa);
  return s;
}

// Runs `body` in a child process with the program's floating-point mode.
template <typename Body>
testsupport::ProgramRun run_in_child(Body body) {
  return testsupport::run_in_child([&] {
    diagnostics::set_float_mode();
    body();
  });
}

void expect_same_bits(const std::vector<double>& expected, const std::vector<double>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t j = 0; j < expected.size(); ++j) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(expected[j]), std::bit_cast<std::uint64_t>(actual[j]))
        << "X(" << j + 1 << "): expected " << expected[j] << ", got " << actual[j];
  }
}

struct ExampleCase {
  const char* name;
  Problem problem;
  std::vector<double> x;
  std::vector<std::int32_t> istate;
  std::int32_t loopa;
};

const std::vector<ExampleCase>& example_cases() {
  static const std::vector<ExampleCase> cases = {
      // Freed in main iteration 1, solve value 2.0 above BU: STEPFRAC 0.5,
      // forced to the upper bound; in main iteration 2 v = +2.0.
      {"solve above the box is interpolated onto its bound",
       {0, 2, 1, {1.0, 1.0}, {1.0, 3.0}, {0.0}, {1.0}, {}},
       {1.0}, {1, 1}, 2},
      {"solve inside the box is taken",
       {0, 2, 1, {1.0, 1.0}, {1.0, 3.0}, {0.0}, {5.0}, {}},
       {2.0}, {1, 0}, 2},
      // Both show v = -1.0: the earlier position wins. Afterwards variable 2
      // shows v = -0.0, which does not qualify.
      {"tie goes to the earlier position and -0.0 never qualifies",
       {0, 2, 2, {1.0, 0.0, 1.0, 0.0}, {1.0, 3.0}, {0.0, 0.0}, {5.0, 5.0}, {}},
       {1.0, 0.0}, {-2, 1, 1}, 2},
      {"no rows: misfit zero at once",
       {0, 0, 2, {}, {}, {-1.0, 0.5}, {1.0, 2.0}, {}},
       {-1.0, 0.5}, {-1, -2, 2}, 1},
      {"zero data fitted exactly by the lower bounds",
       {0, 2, 2, {1.0, -1.0, 1.0, -1.0}, {0.0, 0.0}, {2.0, -2.0}, {3.0, 3.0}, {}},
       {2.0, -2.0}, {-1, -2, 2}, 1},
      {"no gradient points into the box",
       {0, 2, 2, {1.0, 0.0, 0.0, 1.0}, {-1.0, 0.0}, {0.0, 0.0}, {1.0, 1.0}, {}},
       {0.0, 0.0}, {-1, -2, 2}, 1},
      {"a zero column is never freed",
       {0, 2, 2, {1.0, 1.0, 0.0, 0.0}, {1.0, 3.0}, {0.0, -1.0}, {5.0, 4.0}, {}},
       {2.0, -1.0}, {-2, 1, 1}, 2},
      // 2^-40 from the data in each row is within FITTOL = 1e-11 ||B||,
      // although the gradient points into the box.
      {"misfit within FITTOL returns at once",
       {0, 2, 1, {1.0, 1.0}, {1.0, 1.0}, {1.0 - 0x1p-40}, {2.0}, {}},
       {1.0 - 0x1p-40}, {-1, 1}, 1},
      // The solve of main iteration 2 takes both variables from 0 halfway to
      // (2, 4): both reach their upper bounds at the same STEPFRAC 0.5. The
      // tie makes variable 2 LASTBOUND, and both are bound in one pass.
      {"variables reaching their bounds at the same step are all bound",
       {0, 2, 2, {0.0, 2.0, 1.0, -1.0}, {4.0, 0.0}, {-1.0, 0.0}, {1.0, 2.0}, {}},
       {1.0, 2.0}, {2, 1, 2}, 3},
      // Column 2 is 2/3 of column 1. After variable 1 is solved for, rounding
      // leaves variable 2 a tiny gradient into the box; freeing it gives a
      // dependent pair, so it is returned to the bound it came from (the
      // lower one: its entry turns back to -2) and the routine returns.
      {"dependent free columns send the freed variable back to its bound",
       {0, 2, 2, {-3.0, 3.0, -2.0, 2.0}, {4.0, -2.0}, {-2.0, 1.0}, {1.0, 5.0}, {}},
       {-1.6666666666666672, 1.0}, {-2, 1, 1}, 2},
      // Warm starts.
      {"warm start solves the supplied free set at once",
       {1, 2, 1, {1.0, 1.0}, {1.0, 3.0}, {0.0}, {5.0}, {1, 0}},
       {2.0}, {1, 0}, 2},
      {"warm start without free variables goes to the optimality test",
       {1, 2, 1, {1.0, 1.0}, {1.0, 3.0}, {0.0}, {1.0}, {-1, 1}},
       {1.0}, {1, 1}, 2},
      // Variable 1 is fixed (BL = BU = 0) and held "at its upper bound" with
      // v = -1: freeing it moves nothing and binds it where it was, as
      // LASTBOUND. In main iteration 2 it is barred and nothing else
      // qualifies.
      {"the variable just bound is barred and nothing else qualifies",
       {1, 2, 2, {1.0, 0.0, 0.0, 1.0}, {-1.0, -1.0}, {0.0, 0.0}, {0.0, 5.0}, {1, -2, 2}},
       {0.0, 0.0}, {-2, 1, 2}, 2},
      // As above, but variable 2 qualifies with v = -0.5 and is freed instead
      // (main iteration 2); that success lifts the bar, so variable 1 is
      // freed again in main iteration 3 and barred again in 4.
      {"the variable just bound stays barred until another is freed",
       {1, 2, 2, {1.0, 0.0, 0.0, 1.0}, {-1.0, 0.5}, {0.0, 0.0}, {0.0, 5.0}, {1, -2, 2}},
       {0.0, 0.5}, {1, 2, 1}, 4},
      // Integer problems found by searching small ones for the two rare
      // courses. A warm start that takes seven main iterations to settle,
      // within the limit of 3 N = 9.
      {"warm start that takes seven main iterations",
       {1, 6, 3,
        {3.0, -3.0, -3.0, 3.0, -2.0, -1.0,   //
         -2.0, 1.0, 0.0, 0.0, -1.0, 1.0,     //
         1.0, 2.0, -1.0, -2.0, 3.0, 2.0},    //
        {-1.0, 0.0, -3.0, 5.0, 5.0, 2.0},
        {-3.0, -2.0, 0.0},
        {1.0, 1.0, 1.0},
        {1, -3, 2, 2}},
       {0.68957617411225647, 0.77835051546391709, 0.9318442153493699}, {3, 2, 1, 0}, 7},
      // A variable freed from its lower bound solves below it: it goes back
      // there and another is freed in the same main iteration. Keeping it
      // free instead reaches the same point one main iteration later.
      {"variable freed from its lower bound that solves below it goes back",
       {0, 5, 4,
        {0.0, -3.0, -2.0, -2.0, 2.0,    //
         2.0, -1.0, 2.0, 2.0, 2.0,      //
         -3.0, 3.0, -2.0, 3.0, 1.0,     //
         -2.0, 0.0, 3.0, 2.0, -2.0},    //
        {-2.0, 4.0, -5.0, 5.0, 2.0},
        {-2.0, -1.0, -3.0, -1.0},
        {2.0, 1.0, -1.0, 1.0},
        {}},
       {-1.4999999999999996, -0.49999999999999967, -1.0, -1.0}, {3, -4, 2, 1, 2}, 4},
  };
  return cases;
}

// Cases at the edges of the solver's comparisons: a solve value exactly on a
// bound, a freed variable solved exactly onto the bound it came from, a
// variable interpolated exactly onto a bound, a misfit exactly at FITTOL and
// one just above it. Making one of these comparisons weak where it is strict
// (or strict where it is weak), or FITTOL another size, changes X, ISTATE or
// LOOPA in at least one case.
const std::vector<ExampleCase>& boundary_cases() {
  static const std::vector<ExampleCase> cases = {
      // The supplied free set solves to (1, 0): variable 2 lands exactly on
      // its lower bound, which counts as inside, so both stay free.
      {"solve value on the lower bound counts as inside",
       {1, 2, 2, {1.0, 0.0, 0.0, 1.0}, {1.0, 0.0}, {0.0, 0.0}, {10.0, 10.0}, {1, 2, 0}},
       {1.0, -0.0}, {1, 2, 0}, 2},
      // The same with variable 2 in [-1, 0]: it lands exactly on its upper
      // bound, which counts as inside too.
      {"solve value on the upper bound counts as inside",
       {1, 2, 2, {1.0, 0.0, 0.0, 1.0}, {1.0, 0.0}, {0.0, -1.0}, {10.0, 0.0}, {1, 2, 0}},
       {1.0, -0.0}, {1, 2, 0}, 2},
      // Main iteration 3 frees variable 2 from its upper bound, and its solve
      // value is exactly BU(2) = -1. Only a value beyond the bound it came
      // from sends it back; landing on that bound does not.
      {"freed variable solved onto the upper bound it came from is kept",
       {0, 3, 2, {-2.0, -2.0, 2.0, -2.0, -1.0, 3.0}, {-1.0, 1.0, -3.0}, {0.0, -2.0}, {1.0, -1.0},
        {}},
       {0.49999999999999994, -1.0}, {2, 1, 0}, 4},
      // B = 0 gives FITTOL = 0, and the midpoint 0 fits exactly: a misfit
      // equal to FITTOL ends the routine.
      {"misfit equal to FITTOL returns at once",
       {1, 1, 1, {1.0}, {0.0}, {-1.0}, {1.0}, {1, 0}},
       {0.0}, {1, 0}, 1},
      // At X = BL = 1 the misfit is 5e-11, above FITTOL = 1e-11 ||B||: the
      // variable is freed and fitted.
      {"misfit just above FITTOL is fitted",
       {0, 1, 1, {1.0}, {1.0 + 5e-11}, {1.0}, {2.0}, {}},
       {1.0 + 5e-11}, {1, 0}, 2},
      // The last three mirror the case above and two of the examples (all
      // bound at the same step; dependent free columns): A, X and the bounds
      // negated, and a warm start holding every variable at its upper bound
      // where the cold start held it at its lower one. Negation is exact, so
      // the course is the same with the roles of the bounds exchanged.
      {"freed variable solved onto the lower bound it came from is kept",
       {1, 3, 2, {2.0, 2.0, -2.0, 2.0, 1.0, -3.0}, {-1.0, 1.0, -3.0}, {-1.0, 1.0}, {0.0, 2.0},
        {1, 2, 2}},
       {-0.49999999999999994, 1.0}, {2, 1, 0}, 4},
      {"variables reaching their lower bounds at the same step are all bound",
       {1, 2, 2, {0.0, -2.0, -1.0, 1.0}, {4.0, 0.0}, {-1.0, -2.0}, {1.0, 0.0}, {1, 2, 2}},
       {-1.0, -2.0}, {-2, -1, 2}, 3},
      {"dependent columns send a variable freed from its upper bound back there",
       {1, 2, 2, {3.0, -3.0, 2.0, -2.0}, {4.0, -2.0}, {-1.0, -5.0}, {2.0, -1.0}, {1, 2, 2}},
       {1.6666666666666672, -1.0}, {2, 1, 1}, 2},
  };
  return cases;
}

// Solves the case's problem and checks X bit for bit, ISTATE, LOOPA and the
// one line of blanks.
void expect_example(const ExampleCase& c) {
  testing::internal::CaptureStdout();
  const Solution s = solve(c.problem);
  EXPECT_EQ(kBlankLine, testing::internal::GetCapturedStdout());
  expect_same_bits(c.x, s.x);
  EXPECT_EQ(c.istate, s.istate);
  EXPECT_EQ(c.loopa, s.loopa);
}

TEST(BvlsExamples, ComparisonsAtTheBoundsAndAtFittol) {
  diagnostics::set_float_mode();
  for (const ExampleCase& c : boundary_cases()) {
    SCOPED_TRACE(c.name);
    expect_example(c);
  }
}

TEST(BvlsExamples, ResultPartitionIterationCountAndOneLineOfBlanks) {
  diagnostics::set_float_mode();
  for (const ExampleCase& c : example_cases()) {
    SCOPED_TRACE(c.name);
    expect_example(c);
  }
}

// A warm start from the partition a cold start ended with finds the same
// solution.
TEST(BvlsExamples, WarmStartFromFinalPartitionFindsTheSameSolution) {
  diagnostics::set_float_mode();
  Problem p{0, 6, 3,
            {1.0, 2.0, 0.5, -1.0, 3.0, 1.5,    //
             0.3, -1.0, 2.0, 1.0, 0.5, -2.0,   //
             2.0, 1.0, 1.0, 0.0, -1.0, 0.25},  //
            {1.0, 4.0, -2.0, 0.5, 3.0, 1.0},
            {0.0, -0.5, 0.0},
            {1.0, 0.5, 0.75},
            {}};
  testing::internal::CaptureStdout();
  const Solution cold = solve(p);
  p.key = 1;
  p.istate = cold.istate;
  const Solution warm = solve(p);
  testing::internal::GetCapturedStdout();
  for (int j = 0; j < 3; ++j) EXPECT_NEAR(cold.x[j], warm.x[j], 1e-14) << "X(" << j + 1 << ")";
  EXPECT_EQ(cold.istate[3], warm.istate[3]);
}

struct MessageCase {
  const char* name;
  Problem problem;
  std::string out;  // everything standard output receives
};

// Every message is one list-directed record (a blank, then the text with its
// own leading and trailing blanks), the run ends with status 1 and nothing
// goes to standard error. The messages of the bound check come before any
// line of blanks.
TEST(BvlsMessages, EachFailureWritesItsMessageAndEndsWithStatusOne) {
  const std::vector<MessageCase> cases = {
      {"no variables", {0, 2, 0, {}, {1.0, 2.0}, {}, {}, {}},
       "  No free variables in BVLS--check input bounds.\n"},
      {"every variable fixed",
       {0, 2, 2, {1.0, 1.0, 1.0, 2.0}, {1.0, 2.0}, {1.0, -3.0}, {1.0, -3.0}, {}},
       "  No free variables in BVLS--check input bounds.\n"},
      {"lower bound above upper bound", {0, 2, 1, {1.0, 1.0}, {1.0, 2.0}, {2.0}, {1.0}, {}},
       "  Inconsistent bounds in BVLS. \n"},
      // The scan stops at the inconsistent variable before the test for a
      // box of zero width is made.
      {"fixed variable then inconsistent one",
       {0, 2, 2, {1.0, 1.0, 1.0, 2.0}, {1.0, 2.0}, {1.0, 3.0}, {1.0, 2.0}, {}},
       "  Inconsistent bounds in BVLS. \n"},
      {"warm start with more free variables than rows",
       {1, 1, 2, {1.0, 2.0}, {1.0}, {0.0, 0.0}, {1.0, 1.0}, {1, 2, 0}},
       kBlankLine + "  Too many active variables in BVLS starting solution!\n"},
      // M < N and B = 0, so FITTOL = 0: after two variables fit the two rows,
      // the residual left by rounding keeps the iteration going and a third
      // variable is freed.
      {"more free variables than rows",
       {0, 2, 3, {-3.0, -3.0, 0.0, 1.0, 1.0, -3.0}, {0.0, 0.0}, {-2.0, -1.0, -1.0},
        {0.0, 1.0, 2.0}, {}},
       kBlankLine + "  Too many free variables in BVLS!\n"},
      // Variables 2 and 3 are fixed and held at their upper bounds with a
      // gradient pointing down: each is freed, moves nothing and is bound
      // again at the same place, in turn, until the 3 N = 9 main iterations
      // are used up.
      {"iteration limit",
       {0, 3, 3, {1.0, 2.0, 0.0, 3.0, 3.0, 1.0, 3.0, 2.0, 1.0}, {0.0, 0.0, 0.0},
        {-1.0, -1.0, 1.0}, {1.0, -1.0, 1.0}, {}},
       kBlankLine + "  BVLS fails to converge! \n"},
  };
  for (const MessageCase& c : cases) {
    SCOPED_TRACE(c.name);
    const testsupport::ProgramRun r = run_in_child([&] { solve(c.problem); });
    EXPECT_EQ(1, r.exit_status);
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ("", r.err);
  }
}

// The first main iteration of a warm start frees nothing, so IACT has no
// value when the supplied free columns turn out to be dependent. The value
// left by an earlier call does not count: the check ends the run.
TEST(BvlsChecks, DependentSuppliedFreeSetReportsIactUndefined) {
  const Problem cold{0, 2, 1, {1.0, 1.0}, {1.0, 3.0}, {0.0}, {1.0}, {}};
  const Problem warm{1, 3, 2, {1.0, 2.0, 3.0, 1.0, 2.0, 3.0}, {1.0, 0.0, 1.0}, {0.0, 0.0},
                     {1.0, 1.0}, {1, 2, 0}};
  const testsupport::ProgramRun r = run_in_child([&] {
    solve(cold);
    solve(warm);
  });
  EXPECT_EQ(193, r.exit_status);
  EXPECT_EQ(kBlankLine + kBlankLine, r.out);
  EXPECT_EQ(
      "forrtl: severe (193): Run-Time Check Failure. The variable 'boundedls_mp_bvls_$IACT' is "
      "being used without being defined",
      r.first_err_line());
}

// Array references are checked against the extents passed in: a warm-start
// entry naming variable 3 of 2 ends the run at BU(3), read for X(3).
TEST(BvlsChecks, WarmStartEntryOutsideTheVariablesIsASubscriptError) {
  const Problem p{1, 2, 2, {1.0, 0.0, 0.0, 1.0}, {1.0, 1.0}, {0.0, 0.0}, {1.0, 1.0}, {3, -1, 2}};
  const testsupport::ProgramRun r = run_in_child([&] { solve(p); });
  EXPECT_EQ(408 % 256, r.exit_status);
  EXPECT_EQ(kBlankLine, r.out);
  EXPECT_EQ(
      "forrtl: severe (408): fort: (2): Subscript #1 of the array BU has value 3 which is greater "
      "than the upper bound of 2",
      r.first_err_line());
}

}  // namespace
