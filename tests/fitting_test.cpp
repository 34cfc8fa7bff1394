// build_problem's rates of change and means against their expressions,
// element by element, and check_problem's endings: its one pass over each array finds nothing to
// report in input that can be fitted, and leaves every fault to the loop
// that names the first one, at any place in the arrays (the last element,
// the odd one after pairs) and in run data of odd and even interval counts.
#include "driver/fitting.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "declare/declare.hpp"
#include "quiet_stdout.hpp"

namespace {

using declare::ABVLSX;
using declare::AVGWMOL;
using declare::DYKELPO;
using declare::AVGKELPO;
using declare::TIME;
using declare::YKELPO;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Run data of `records` records that can be fitted: times 300 s apart,
// finite rates and reaction rates.
void fill_fittable() {
  const int n = declare::intervals();
  for (int t = 1; t <= n + 1; ++t) TIME(t) = 300.0 * (t - 1);
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= declare::kBins; ++j) DYKELPO(j, i) = 0.001 * j - 1e-5 * i;
    for (int c = 1; c <= declare::kCoefficients; ++c) ABVLSX(i, c) = 0.5 * c + 1e-3 * i;
  }
  for (int j = 1; j <= declare::kBins; ++j) AVGWMOL(j) = 100.0 + j;
}

struct Fault {
  const char* what;
  void (*make)(int n);  // n: the intervals
  const char* message;  // its line on standard error, for n = 1440
};

const Fault kFaults[] = {
    {"last rate", [](int n) { DYKELPO(6, n) = kInf; },
     "vbsfit: interval 1440: rate of change of bin 6 is not finite (inf)\n"},
    {"a rate inside", [](int) { DYKELPO(3, 7) = kNaN; },
     "vbsfit: interval 7: rate of change of bin 3 is not finite (nan)\n"},
    {"last reaction rate", [](int n) { ABVLSX(n, 7) = -kInf; },
     "vbsfit: interval 1440: reaction rate of column 7 is not finite (-inf)\n"},
    {"first reaction rate", [](int) { ABVLSX(1, 1) = kNaN; },
     "vbsfit: interval 1: reaction rate of column 1 is not finite (nan)\n"},
    {"last step", [](int n) { TIME(n + 1) = TIME(n); },
     "vbsfit: interval 1440: time does not increase from 431700 to 431700; no rate of change "
     "can be formed\n"},
    {"a step back", [](int) { TIME(4) = 100.0; },
     "vbsfit: interval 3: time does not increase from 600 to 100; no rate of change can be "
     "formed\n"},
    {"an infinite time", [](int n) { TIME(n + 1) = kInf; },
     "vbsfit: interval 1440: time does not increase from 431700 to inf; no rate of change can "
     "be formed\n"},
    {"the earlier of two", [](int) {
       DYKELPO(1, 3) = kInf;
       ABVLSX(2, 5) = kInf;
     },
     "vbsfit: interval 2: reaction rate of column 5 is not finite (inf)\n"},
};

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Every rate of change and mean is (YKELPO(j, i + 1) - YKELPO(j, i)) / DELTAT
// and (YKELPO(j, i + 1) + YKELPO(j, i)) * 0.5 with DELTAT = TIME(i + 1) -
// TIME(i), bit for bit, and DELTAT is left at the last interval's, for run
// data of every size from one interval up, on values of every magnitude.
TEST(BuildProblem, RatesAndMeansAreTheirExpressionsBitForBit) {
  testsupport::QuietStdout quiet;  // the molar-mass line
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> exponent(-30.0, 30.0);
  for (int records : {2, 3, 4, 9, 100, declare::kRecords}) {
    declare::RunData data(records);
    declare::BindRunData bind(data);
    const int n = declare::intervals();
    double time = 0.0;
    for (int t = 1; t <= records; ++t) {
      time += std::pow(10.0, exponent(rng) / 10.0);
      TIME(t) = time;
      for (int j = 1; j <= declare::kBins; ++j) {
        YKELPO(j, t) = (rng() % 2 == 0 ? 1.0 : -1.0) * std::pow(10.0, exponent(rng));
      }
    }
    driver::build_problem();
    for (int i = 1; i <= n; ++i) {
      const double deltat = TIME(i + 1) - TIME(i);
      for (int j = 1; j <= declare::kBins; ++j) {
        const double rate = (YKELPO(j, i + 1) - YKELPO(j, i)) / deltat;
        const double mean = (YKELPO(j, i + 1) + YKELPO(j, i)) * 0.5;
        ASSERT_EQ(bits(rate), bits(DYKELPO(j, i))) << j << ", " << i << " of " << n;
        ASSERT_EQ(bits(mean), bits(AVGKELPO(j, i))) << j << ", " << i << " of " << n;
      }
    }
    EXPECT_EQ(bits(TIME(n + 1) - TIME(n)), bits(declare::DELTAT));
  }
}

TEST(CheckProblem, FittableRunDataPasses) {
  for (int records : {2, 3, 6, 7, declare::kRecords}) {
    declare::RunData data(records);
    declare::BindRunData bind(data);
    fill_fittable();
    driver::check_problem();  // returns
  }
  fill_fittable();
  driver::check_problem();
}

TEST(CheckProblem, TheProgramsRunDataEndsAtTheFirstFault) {
  for (const Fault& fault : kFaults) {
    EXPECT_EXIT(
        {
          fill_fittable();
          fault.make(declare::intervals());
          driver::check_problem();
        },
        testing::ExitedWithCode(1), testing::StartsWith(fault.message))
        << fault.what;
  }
}

// In run data of an odd number of intervals each fault is still found (the
// message then names other intervals: only the status is compared).
TEST(CheckProblem, OddIntervalCountsEndAtTheFaultToo) {
  for (int records : {8, 10}) {
    for (const Fault& fault : kFaults) {
      EXPECT_EXIT(
          {
            declare::RunData data(records);
            declare::BindRunData bind(data);
            fill_fittable();
            fault.make(declare::intervals());
            driver::check_problem();
          },
          testing::ExitedWithCode(1), testing::HasSubstr("vbsfit: interval "))
          << fault.what << ", " << records << " records";
    }
  }
}

}  // namespace
