// List-directed records: exact bytes of every rendering and record layout,
// and reads from small files written for each test.
#include "textio/list_directed.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "run_program.hpp"

namespace {

using textio::Item;
using textio::ReadOutcome;
using textio::render_integer;
using textio::render_list;
using textio::render_real;
using Records = std::vector<std::string>;

// ---- Renderings ----

TEST(ListDirectedWrite, IntegerTakesTwelveColumns) {
  EXPECT_EQ("           7", render_integer(7));
  EXPECT_EQ("         -42", render_integer(-42));
  EXPECT_EQ("           0", render_integer(0));
  EXPECT_EQ("  2147483647", render_integer(2147483647));
  EXPECT_EQ(" -2147483648", render_integer(std::numeric_limits<std::int32_t>::min()));
}

TEST(ListDirectedWrite, RealMatchesEveryRowOfTheRenderingTable) {
  EXPECT_EQ("   1.50000000000000     ", render_real(1.5));
  EXPECT_EQ(" -0.250000000000000     ", render_real(-0.25));
  EXPECT_EQ("   100.000000000000     ", render_real(100.0));
  EXPECT_EQ("  0.333333333333333     ", render_real(1.0 / 3.0));
  EXPECT_EQ("  5.000000000000000E-002", render_real(0.05));
  EXPECT_EQ("  9.999999999999999E-021", render_real(1.0e-20));
  EXPECT_EQ("  1.000000000000000E-003", render_real(0.001));
  EXPECT_EQ("  3.333333333333333E-021", render_real(1.0 / 3.0 * 1.0e-20));
  EXPECT_EQ(" -1.000000000000000E+020", render_real(-1.0e20));
  EXPECT_EQ("  1.000000000000000E+015", render_real(1.0e15));
  EXPECT_EQ("  9.999999999999999E+014", render_real(999999999999999.9));
  EXPECT_EQ("   123456789012345.     ", render_real(123456789012345.0));
  EXPECT_EQ("  0.000000000000000E+000", render_real(0.0));
  EXPECT_EQ("  0.000000000000000E+000", render_real(-0.0));
}

TEST(ListDirectedWrite, RealTakesTheFormOfItsFifteenDigitRounding) {
  // Rounds up across 0.1 in 15 digits: fixed form with k = 0.
  EXPECT_EQ("  0.100000000000000     ", render_real(0.09999999999999999));
  // The smallest double that rounds to 0.100000000000000 is
  // 0.09999999999999999500399...; the one below it takes exponent form.
  const double smallest_fixed = 0.09999999999999995;
  EXPECT_EQ("  0.100000000000000     ", render_real(smallest_fixed));
  EXPECT_EQ("  9.999999999999994E-002", render_real(std::nextafter(smallest_fixed, 0.0)));
  // 999999999999999.5 is exact; its 15-digit tie goes to the even 1.0E+15.
  EXPECT_EQ("  9.999999999999995E+014", render_real(999999999999999.5));
  EXPECT_EQ("   999999999999998.     ", render_real(999999999999998.5));
  EXPECT_EQ("  1.000000000000000E+015", render_real(1.0e15));
}

TEST(ListDirectedWrite, RealRoundsExactTiesToTheEvenDigit) {
  // Exact binary values whose 16th significant digit is a 5 and nothing after.
  EXPECT_EQ("   12345678901234.2     ", render_real(12345678901234.25));
  EXPECT_EQ("   12345678901234.8     ", render_real(12345678901234.75));
  // 2623/2^18 = 0.010005950927734375 and 2625/2^18 = 0.010013580322265625:
  // the 17th digit is an exact 5.
  EXPECT_EQ("  1.000595092773438E-002", render_real(2623.0 / 262144.0));
  EXPECT_EQ("  1.001358032226562E-002", render_real(2625.0 / 262144.0));
  EXPECT_EQ("  1.234567890123455E+015", render_real(1234567890123455.0));
}

TEST(ListDirectedWrite, RealAtTheEndsOfTheDoubleRange) {
  EXPECT_EQ("  1.797693134862316E+308", render_real(std::numeric_limits<double>::max()));
  EXPECT_EQ(" -2.225073858507201E-308", render_real(-std::numeric_limits<double>::min()));
  EXPECT_EQ("  4.940656458412465E-324", render_real(std::numeric_limits<double>::denorm_min()));
}

TEST(ListDirectedWrite, InfinityAndNanAreRightJustified) {
  EXPECT_EQ("                Infinity", render_real(std::numeric_limits<double>::infinity()));
  EXPECT_EQ("               -Infinity", render_real(-std::numeric_limits<double>::infinity()));
  EXPECT_EQ("                     NaN", render_real(std::numeric_limits<double>::quiet_NaN()));
}

// ---- Record layouts ----

TEST(ListDirectedWrite, CoefsAndSixRealsFillEightyThenSeventyTwoColumns) {
  Records records = render_list({"COEFS: ", 1.5, -0.25, 100.0, 0.05, 0.001, 0.0});
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ(" COEFS:    1.50000000000000      -0.250000000000000        100.000000000000     ",
            records[0]);
  EXPECT_EQ("  5.000000000000000E-002  1.000000000000000E-003  0.000000000000000E+000",
            records[1]);
}

TEST(ListDirectedWrite, KPerSecAndSixRealsGiveSixtySeventyTwoAndTwentyFourColumns) {
  Records records = render_list({"k per sec  ", 1.5, -0.25, 100.0, 0.05, 0.001, 0.0});
  ASSERT_EQ(3u, records.size());
  EXPECT_EQ(" k per sec     1.50000000000000      -0.250000000000000     ", records[0]);
  EXPECT_EQ("   100.000000000000       5.000000000000000E-002  1.000000000000000E-003",
            records[1]);
  EXPECT_EQ("  0.000000000000000E+000", records[2]);
}

TEST(ListDirectedWrite, StringAndIntegerGiveThirtyFiveColumns) {
  EXPECT_EQ(Records{" coefs for species nb.            3"},
            render_list({"coefs for species nb. ", std::int32_t{3}}));
}

TEST(ListDirectedWrite, LoneBlankStringGivesTwoBlanks) {
  EXPECT_EQ(Records{"  "}, render_list({" "}));
}

TEST(ListDirectedWrite, EmptyStatementGivesOneBlank) {
  EXPECT_EQ(Records{" "}, render_list({}));
}

TEST(ListDirectedWrite, DefaultRunFactorAndRateConstantLines) {
  const std::array<double, 6> factor = {0.999000999000999,    0.9090909090909091,
                                        0.5,                  0.09090909090909091,
                                        0.009900990245085395, 9.999000574869534e-05};
  const std::array<double, 6> k = {3.9960038950564444e-05, 3.636363544501364e-05,
                                   1.9999999494757503e-05, 3.6363635445013642e-06,
                                   3.960395997986137e-07,  3.999600128909413e-09};
  // Lines 1-2 and 6-8 of the default run's standard output.
  EXPECT_EQ((Records{
                " COEFS:   0.999000999000999       0.909090909090909       0.500000000000000     ",
                "  9.090909090909091E-002  9.900990245085395E-003  9.999000574869534E-005",
            }),
            render_list({"COEFS: ", std::span<const double>(factor)}));
  EXPECT_EQ((Records{
                " k per sec    3.996003895056444E-005  3.636363544501364E-005",
                "  1.999999949475750E-005  3.636363544501364E-006  3.960395997986137E-007",
                "  3.999600128909413E-009",
            }),
            render_list({"k per sec  ", std::span<const double>(k)}));
}

TEST(ListDirectedWrite, StringAfterNumberGetsOneSeparatingBlank) {
  EXPECT_EQ(Records{"           7 ab"}, render_list({std::int32_t{7}, "ab"}));
  EXPECT_EQ(Records{" ab   1.50000000000000      cd"}, render_list({"ab", 1.5, "cd"}));
  EXPECT_EQ(Records{" abcd"}, render_list({"ab", "cd"}));
}

TEST(ListDirectedWrite, StringOfExactlyRoomBytesAfterNumberRunsOn) {
  // After " COEFS: " and one real, room0 = 80 - 8 - 24 = 48; the separator
  // leaves 47 columns.
  const std::string s48(48, 'x');
  Records records = render_list({"COEFS: ", 1.5, std::string_view(s48)});
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ(" COEFS:    1.50000000000000      " + std::string(47, 'x'), records[0]);
  EXPECT_EQ(80u, records[0].size());
  EXPECT_EQ(" x", records[1]);
}

TEST(ListDirectedWrite, StringLongerThanRoomAfterNumberStartsANewRecord) {
  const std::string s49(49, 'y');
  Records records = render_list({"COEFS: ", 1.5, std::string_view(s49)});
  ASSERT_EQ(2u, records.size());
  // The separator stays on the record that the string leaves.
  EXPECT_EQ(" COEFS:    1.50000000000000      ", records[0]);
  EXPECT_EQ(" " + s49, records[1]);
}

TEST(ListDirectedWrite, StringLongerThanARecordRunsOnOverRecordsStartingWithABlank) {
  std::string long_text;
  for (int i = 0; i < 170; ++i) long_text += static_cast<char>('a' + i % 26);
  Records records = render_list({std::string_view(long_text)});
  ASSERT_EQ(3u, records.size());
  EXPECT_EQ(" " + long_text.substr(0, 79), records[0]);
  EXPECT_EQ(" " + long_text.substr(79, 79), records[1]);
  EXPECT_EQ(" " + long_text.substr(158), records[2]);
}

TEST(ListDirectedWrite, RecordsNeverExceedEightyColumns) {
  // 80 and 159 bytes would need 81 columns if a continuation record could
  // take 80 bytes after its blank.
  EXPECT_EQ((Records{" " + std::string(79, 'z'), " z"}), render_list({std::string_view(std::string(80, 'z'))}));
  EXPECT_EQ((Records{"           1 ", " " + std::string(79, 'z'), " z"}),
            render_list({std::int32_t{1}, std::string_view(std::string(80, 'z'))}));
  const std::string z159(159, 'z');
  const std::string w300(300, 'w');
  for (const std::string& r : render_list({std::string_view(z159), 1.0, std::string_view(w300)})) {
    EXPECT_LE(r.size(), static_cast<std::size_t>(textio::kRecordColumns));
  }
}

TEST(ListDirectedWrite, RealThatWouldPassEightyColumnsStartsTheNextRecord) {
  Records records = render_list({"ab", 1.0, 2.0, 3.0, 4.0});
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ(75u, records[0].size());
  EXPECT_EQ("   4.00000000000000     ", records[1]);
}

// ---- Reads ----

// Files a test reads, in a scratch directory of its own.
class ListDirectedRead : public ::testing::Test {
 protected:
  static constexpr int kUnit = 20;

  void TearDown() override { textio::close_unit(kUnit); }

  // Writes `contents` to a new file and opens it on unit 20.
  textio::Unit& open_with(const std::string& contents) {
    std::string path = (dir_.path() / "input.dat").string();
    testsupport::write_file(path, contents);
    return textio::open_unit(kUnit, path, textio::OpenStatus::old_file);
  }

  testsupport::ScratchDir dir_;
};

// Destinations preset to a marker that no test reads, so that kept values show.
constexpr double kUntouched = -999.0;

struct Destinations {
  explicit Destinations(std::size_t n) : values(n, kUntouched) {
    for (double& v : values) pointers.push_back(&v);
  }
  std::vector<double> values;
  std::vector<double*> pointers;
};

ReadOutcome read_into(textio::Unit& unit, Destinations& d) {
  return textio::read_list(unit, d.pointers);
}

TEST_F(ListDirectedRead, BlanksTabsAndCommasSeparateValues) {
  textio::Unit& unit = open_with("1 2\t3,4 , 5\t,\t6\n");
  Destinations d(6);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, d));
  EXPECT_EQ((std::vector<double>{1, 2, 3, 4, 5, 6}), d.values);
}

TEST_F(ListDirectedRead, RealSyntaxAcceptsEveryExponentForm) {
  textio::Unit& unit = open_with("1.5+3 -2.5e-1 3D2 4q-1 5.E+0 .5 +7 1.5-3 2d0 6Q+1\n");
  Destinations d(10);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, d));
  EXPECT_EQ((std::vector<double>{1500.0, -0.25, 300.0, 0.4, 5.0, 0.5, 7.0, 0.0015, 2.0, 60.0}),
            d.values);
}

TEST_F(ListDirectedRead, ConvertsToTheNearestDouble) {
  textio::Unit& unit =
      open_with("0.1 9.999000574869534E-005 2.4703282292062328e-324 1e-400 -0.0\n");
  Destinations d(5);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, d));
  EXPECT_EQ(0.1, d.values[0]);
  EXPECT_EQ(9.999000574869534e-05, d.values[1]);
  EXPECT_EQ(std::numeric_limits<double>::denorm_min(), d.values[2]);  // just above the halfway point
  EXPECT_EQ(0.0, d.values[3]);
  EXPECT_TRUE(std::signbit(d.values[4]));
}

TEST_F(ListDirectedRead, NullValuesKeepTheDestination) {
  textio::Unit& unit = open_with("1,,3, ,5\n");
  Destinations d(5);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, d));
  EXPECT_EQ((std::vector<double>{1, kUntouched, 3, kUntouched, 5}), d.values);
}

TEST_F(ListDirectedRead, LeadingCommaGivesANullValue) {
  textio::Unit& unit = open_with(",2\n");
  Destinations d(2);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, d));
  EXPECT_EQ((std::vector<double>{kUntouched, 2}), d.values);
}

TEST_F(ListDirectedRead, CommaAtTheEndOfARecordIsOnlyASeparator) {
  textio::Unit& unit = open_with("1,\n2\n3\n,4\n");
  Destinations d(4);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, d));
  EXPECT_EQ((std::vector<double>{1, 2, 3, 4}), d.values);
}

TEST_F(ListDirectedRead, RepeatsGiveCopiesOrNullValues) {
  textio::Unit& unit = open_with("3*2.5 2* 7 2*,9\n");
  Destinations d(9);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, d));
  EXPECT_EQ((std::vector<double>{2.5, 2.5, 2.5, kUntouched, kUntouched, 7, kUntouched,
                                 kUntouched, 9}),
            d.values);
}

TEST_F(ListDirectedRead, RepeatBeyondTheListDropsTheSurplus) {
  textio::Unit& unit = open_with("5*1\n8\n");
  Destinations first(2);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, first));
  EXPECT_EQ((std::vector<double>{1, 1}), first.values);
  Destinations second(1);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, second));
  EXPECT_EQ(8.0, second.values[0]);
}

TEST_F(ListDirectedRead, SlashEndsTheStatement) {
  textio::Unit& unit = open_with("1 2/ 3\n4\n");
  Destinations d(4);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, d));
  EXPECT_EQ((std::vector<double>{1, 2, kUntouched, kUntouched}), d.values);
  Destinations next(1);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, next));
  EXPECT_EQ(4.0, next.values[0]);
}

TEST_F(ListDirectedRead, SevenValuesFromRecordsOfThreeThreeAndTwo) {
  textio::Unit& unit = open_with("1 2 3\n4 5 6\n7 8\n9\n");
  Destinations d(7);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, d));
  EXPECT_EQ((std::vector<double>{1, 2, 3, 4, 5, 6, 7}), d.values);
  // The 8 is skipped with the rest of its record.
  Destinations next(1);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, next));
  EXPECT_EQ(9.0, next.values[0]);
}

TEST_F(ListDirectedRead, BlankRecordsAreWhiteSpace) {
  textio::Unit& unit = open_with("\n   \n\t\n1\n\n2\n");
  Destinations d(2);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, d));
  EXPECT_EQ((std::vector<double>{1, 2}), d.values);
}

TEST_F(ListDirectedRead, CarriageReturnLineFeedAndLastLineWithoutLineFeed) {
  textio::Unit& unit = open_with("1 2\r\n3 4\r\n5 6");
  Destinations a(2), b(2), c(2);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, a));
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, b));
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, c));
  EXPECT_EQ((std::vector<double>{1, 2}), a.values);
  EXPECT_EQ((std::vector<double>{3, 4}), b.values);
  EXPECT_EQ((std::vector<double>{5, 6}), c.values);
  Destinations d(1);
  EXPECT_EQ(ReadOutcome::end_of_file, read_into(unit, d));
}

TEST_F(ListDirectedRead, EmptyListSkipsExactlyOneRecord) {
  textio::Unit& unit = open_with("time  conc (header, not numbers)\n1.5 2.5\n");
  EXPECT_EQ(ReadOutcome::complete, textio::read_list(unit, {}));
  Destinations d(2);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, d));
  EXPECT_EQ((std::vector<double>{1.5, 2.5}), d.values);
  EXPECT_EQ(ReadOutcome::end_of_file, textio::read_list(unit, {}));
}

TEST_F(ListDirectedRead, EmptyListReadsAnEmptyRecord) {
  textio::Unit& unit = open_with("\n7\n");
  EXPECT_EQ(ReadOutcome::complete, textio::read_list(unit, {}));
  Destinations d(1);
  EXPECT_EQ(ReadOutcome::complete, read_into(unit, d));
  EXPECT_EQ(7.0, d.values[0]);
}

TEST_F(ListDirectedRead, EndOfFileKeepsTheValuesReadSoFar) {
  textio::Unit& unit = open_with("1 2\n3\n");
  Destinations d(5);
  EXPECT_EQ(ReadOutcome::end_of_file, read_into(unit, d));
  EXPECT_EQ((std::vector<double>{1, 2, 3, kUntouched, kUntouched}), d.values);
}

TEST_F(ListDirectedRead, EmptyFileIsEndOfFile) {
  textio::Unit& unit = open_with("");
  Destinations d(1);
  EXPECT_EQ(ReadOutcome::end_of_file, read_into(unit, d));
  EXPECT_EQ(kUntouched, d.values[0]);
  textio::require_complete(unit, ReadOutcome::complete);  // returns
}

using ListDirectedReadDeathTest = ListDirectedRead;

TEST_F(ListDirectedReadDeathTest, LettersAreASyntaxError) {
  textio::Unit& unit = open_with("1 abc 3\n");
  Destinations d(3);
  EXPECT_EXIT(read_into(unit, d), ::testing::ExitedWithCode(59),
              "forrtl: severe \\(59\\): list-directed I/O syntax error, unit 20, file "
              ".*/vbsfit-test-[^/]*/input\\.dat");
}

TEST_F(ListDirectedReadDeathTest, MalformedNumbersAreSyntaxErrors) {
  for (const char* text : {"1.5x", "1.5e", "1.5e+", "-", ".", "1..2", "0*5", "*5", "a*5",
                           "'x'", "1.5.", "1e3.0", "1+", "\"1\""}) {
    textio::Unit& unit = open_with(std::string(text) + "\n");
    Destinations d(1);
    EXPECT_EXIT(read_into(unit, d), ::testing::ExitedWithCode(59),
                "forrtl: severe \\(59\\): list-directed I/O syntax error, unit 20")
        << text;
    textio::close_unit(kUnit);
  }
}

TEST_F(ListDirectedReadDeathTest, MagnitudeBeyondTheLargestDoubleIsAConversionError) {
  textio::Unit& unit = open_with("1 1e999\n");
  Destinations d(2);
  EXPECT_EXIT(read_into(unit, d), ::testing::ExitedWithCode(64),
              "forrtl: severe \\(64\\): input conversion error, unit 20, file "
              ".*/input\\.dat");
}

TEST_F(ListDirectedReadDeathTest, EndOfFileWithoutABranchEndsTheRun) {
  textio::Unit& unit = open_with("1\n");
  Destinations d(2);
  EXPECT_EXIT(textio::require_complete(unit, read_into(unit, d)), ::testing::ExitedWithCode(24),
              "forrtl: severe \\(24\\): end-of-file during read, unit 20, file .*/input\\.dat");
}

TEST_F(ListDirectedReadDeathTest, HeaderSkipAtEndOfFileEndsTheRun) {
  textio::Unit& unit = open_with("");
  EXPECT_EXIT(textio::require_complete(unit, textio::read_list(unit, {})),
              ::testing::ExitedWithCode(24), "forrtl: severe \\(24\\): end-of-file during read");
}

}  // namespace
