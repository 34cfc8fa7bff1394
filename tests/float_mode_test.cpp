// The floating-point mode of the computation: denormals count as zero,
// rounding is to nearest, and no operation ever traps.
#include "diagnostics/float_mode.hpp"

#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cmath>
#include <limits>

#include "run_program.hpp"

namespace {

constexpr unsigned kRoundTowardZero = 0x6000;
constexpr unsigned kRoundUp = 0x4000;
constexpr unsigned kDivideByZeroMask = 0x0200;
constexpr unsigned kInvalidMask = 0x0080;
constexpr unsigned kOverflowMask = 0x0400;

// Each test leaves the mode as it found it.
class FloatMode : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = _mm_getcsr(); }
  void TearDown() override { _mm_setcsr(saved_); }

 private:
  unsigned saved_ = 0;
};

TEST_F(FloatMode, DenormalResultsAreFlushedToZero) {
  volatile double tiny = 1e-300;
  volatile double factor = 1e-10;
  ASSERT_GT(tiny * factor, 0.0) << "the product is a denormal in the default mode";
  diagnostics::set_float_mode();
  EXPECT_EQ(0.0, tiny * factor);
  EXPECT_EQ(0.0, tiny * -factor);
  EXPECT_TRUE(std::signbit(tiny * -factor));
}

TEST_F(FloatMode, DenormalOperandsReadAsZero) {
  volatile double denormal = 1e-310;  // stored as it is; only arithmetic sees the mode
  volatile double huge = 1e300;
  ASSERT_GT(denormal * huge, 0.0);
  diagnostics::set_float_mode();
  EXPECT_EQ(0.0, denormal * huge);
  EXPECT_EQ(1.0, denormal + 1.0);
  EXPECT_FALSE(denormal > 0.0);
}

TEST_F(FloatMode, RoundsToNearestWhateverTheModeWasBefore) {
  // 1 + 3 * 2^-54 lies between 1 and the next double 1 + 2^-52, nearer the
  // latter; rounding toward zero or upward would give another answer for one
  // of the two signs.
  volatile double one = 1.0;
  volatile double above = 3.0 * std::ldexp(1.0, -54);
  const double next = 1.0 + std::ldexp(1.0, -52);
  for (unsigned before : {kRoundTowardZero, kRoundUp}) {
    _mm_setcsr((_mm_getcsr() & ~0x6000u) | before);
    diagnostics::set_float_mode();
    EXPECT_EQ(next, one + above) << before;
    EXPECT_EQ(-next, -one - above) << before;
  }
}

TEST_F(FloatMode, NoOperationTrapsEvenWhenExceptionsWereUnmasked) {
  auto run = testsupport::run_in_child([] {
    _mm_setcsr(_mm_getcsr() & ~(kDivideByZeroMask | kInvalidMask | kOverflowMask));
    diagnostics::set_float_mode();
    volatile double zero = 0.0;
    volatile double big = std::numeric_limits<double>::max();
    bool ok = std::isinf(1.0 / zero) && std::isnan(zero / zero) && std::isinf(big * 2.0);
    if (!ok) ::_exit(3);
  });
  EXPECT_EQ(0, run.signal);
  EXPECT_EQ(testsupport::kBodyReturned, run.exit_status);
}

}  // namespace
