#include "textio/formatted.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "run_program.hpp"

namespace {

using textio::FieldStatus;
using textio::ReadOutcome;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kUnit = 30;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// ---------------------------------------------------------------- E output

struct OutputRow {
  double value;
  int width;
  int digits;
  const char* field;
};

void expect_fields(std::initializer_list<OutputRow> rows) {
  for (const OutputRow& row : rows) {
    EXPECT_EQ(row.field, textio::render_e(row.value, row.width, row.digits))
        << row.value << " in E" << row.width << "." << row.digits;
  }
}

TEST(RenderE, GoldenFields) {
  expect_fields({
      {1.5, 10, 3, " 0.150E+01"},
      {-1.5, 10, 3, "-0.150E+01"},
      {0.0, 10, 3, " 0.000E+00"},
      {-0.0, 10, 3, " 0.000E+00"},
      {1.0e-20, 10, 3, " 0.100E-19"},
      {1.5, 13, 5, "  0.15000E+01"},
      {-0.25, 13, 5, " -0.25000E+00"},
      {1.5e-101, 13, 5, "  0.15000-100"},
      {1.5, 24, 14, "    0.15000000000000E+01"},
      {1.0 / 3.0, 24, 14, "    0.33333333333333E+00"},
      // Two-digit exponents up to 99, sign and three digits from 100 on.
      {-1.0e-100, 10, 3, "-0.100E-99"},
      {1.0e99, 10, 3, " 0.100+100"},
      {1.5e150, 13, 5, "  0.15000+151"},
      {std::numeric_limits<double>::max(), 24, 14, "    0.17976931348623+309"},
      {std::numeric_limits<double>::denorm_min(), 10, 3, " 0.494-323"},
  });
}

TEST(RenderE, RoundsTheExactBinaryValueTiesToEven) {
  expect_fields({
      {1.125, 10, 3, " 0.112E+01"},  // exact ties: to the even digit
      {1.375, 10, 3, " 0.138E+01"},
      {10.25, 10, 3, " 0.102E+02"},
      {1.03125, 13, 5, "  0.10312E+01"},
      {1.09375, 13, 5, "  0.10938E+01"},
      {1.0625, 10, 3, " 0.106E+01"},
      {2.675, 10, 3, " 0.267E+01"},  // stored just below the decimal tie
      {9.995, 10, 3, " 0.999E+01"},
      // Rounding up across a power of ten raises the exponent.
      {9.9996, 10, 3, " 0.100E+02"},
      {-0.09999, 10, 3, "-0.100E+00"},
      {9.999999e-102, 13, 5, "  0.10000-100"},
  });
}

TEST(RenderE, InfinityNaNAndNarrowFields) {
  expect_fields({
      {kInf, 10, 3, "  Infinity"},
      {-kInf, 10, 3, " -Infinity"},
      {kNaN, 10, 3, "       NaN"},
      {-kNaN, 10, 3, "       NaN"},
      {kInf, 8, 3, "Infinity"},
      {-kInf, 9, 3, "-Infinity"},
      {-kInf, 8, 3, "    -Inf"},  // 8 columns leave none for the sign
      {kInf, 7, 3, "    Inf"},
      {-kInf, 3, 1, "***"},
      {kNaN, 2, 1, "**"},
      // The 0 before the point only where a column is left; else asterisks.
      {1.5, 9, 3, "0.150E+01"},
      {1.5, 8, 3, ".150E+01"},
      {-1.5, 9, 3, "-.150E+01"},
      {-1.5, 8, 3, "********"},
      {1.5, 6, 3, "******"},
      {1.5e-101, 8, 3, ".150-100"},
      {1.5e-101, 7, 3, "*******"},
  });
}

// ---------------------------------------------------------- format control

TEST(RenderFormatted, SevenValueCoefficientRecordIs77Columns) {
  const std::vector<double> values = {1.5, -1.5, 0.0, 1.0e-20, 100.0, -0.25, 9.9996};
  const std::string expected =
      "  0.150E+01 -0.150E+01  0.000E+00  0.100E-19  0.100E+03 -0.250E+00  0.100E+02";
  for (const textio::Format* format : {&textio::FMT1, &textio::FMT2}) {
    std::vector<std::string> records = textio::render_formatted(*format, values);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(77u, records[0].size());
    EXPECT_EQ(expected, records[0]);
  }
}

TEST(RenderFormatted, FormatRunningOutStartsANewRecordAtTheGroup) {
  std::vector<double> nine(9, 1.5);
  std::vector<std::string> records = textio::render_formatted(textio::FMT1, nine);
  ASSERT_EQ(2u, records.size());
  std::string field = "  0.150E+01";
  std::string eight;
  for (int i = 0; i < 8; ++i) eight += field;
  EXPECT_EQ(eight, records[0]);
  EXPECT_EQ(field, records[1]);

  // Exactly eight values fill one record and start no second one.
  EXPECT_EQ(1u, textio::render_formatted(textio::FMT1, std::span(nine).first(8)).size());

  const std::vector<double> three = {1.5, -0.25, 0.0};
  EXPECT_EQ((std::vector<std::string>{"  0.15000E+01 -0.25000E+00", "  0.00000E+00"}),
            textio::render_formatted(textio::FMT4, three));
  EXPECT_EQ((std::vector<std::string>{"    0.15000000000000E+01   -0.25000000000000E+00",
                                      "    0.00000000000000E+00"}),
            textio::render_formatted(textio::FMT5, three));

  std::vector<double> twenty_one(21, -1.5);
  records = textio::render_formatted(textio::FMT3, twenty_one);
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ(260u, records[0].size());
  EXPECT_EQ(" -0.15000E+01", records[1]);
}

TEST(RenderFormatted, NoItemsGiveOneEmptyRecord) {
  EXPECT_EQ(std::vector<std::string>{""}, textio::render_formatted(textio::FMT2, {}));
}

// ------------------------------------------------------------------ E input

struct InputRow {
  const char* field;
  int digits;
  double value;
};

TEST(ParseEField, GoldenFields) {
  const InputRow rows[] = {
      {"  0.12345E+01", 5, 1.2345},
      {"-1.5         ", 5, -1.5},
      {"             ", 5, 0.0},
      {"  0.12345-100", 5, 1.2345e-101},
      {"        12345", 5, 0.12345},
      // Implied decimal point: the last d digits before the exponent.
      {"1", 5, 0.00001},
      {"12345E2", 5, 12.345},
      {"12345-3", 5, 1.2345e-4},
      {"-12", 5, -0.00012},
      {"1", 14, 1.0e-14},
      {"1234567", 3, 1234.567},
      {"1.", 5, 1.0},  // a point overrides d
      {"1.0E2", 5, 100.0},
      // Blanks anywhere are ignored.
      {" 1 2 3 4 5 ", 5, 0.12345},
      {"- 1 . 5 E + 0 1", 5, -15.0},
      // Exponent letters and forms.
      {"1.5D0", 5, 1.5},
      {"1.5d+1", 5, 15.0},
      {"1.5Q-1", 5, 0.15},
      {"1.5q2", 5, 150.0},
      {"1.5E-02", 5, 0.015},
      {"1.5+3", 5, 1500.0},
      {".5", 5, 0.5},
      {"+.5E1", 5, 5.0},
      {"0.1", 5, 0.1},
      {"  0.15000000000000E+01", 14, 1.5},
      {"    0.33333333333333E+00", 14, 0.33333333333333},
      {"1.7976931348623157E308", 5, 1.7976931348623157e308},
      {"1E-400", 5, 0.0},
      {"1E-99999999999999999999", 5, 0.0},
      {"0E99999999999999999999", 5, 0.0},
      {"1E-18446744073709551621", 5, 0.0},  // 2^64 + 5: must not wrap to E-5
      {"-0", 5, -0.0},
      {"4.9E-324", 5, std::numeric_limits<double>::denorm_min()},
  };
  for (const InputRow& row : rows) {
    double value = 99.0;
    ASSERT_EQ(FieldStatus::ok, textio::parse_e_field(row.field, row.digits, value))
        << '"' << row.field << '"';
    EXPECT_EQ(bits(row.value), bits(value)) << '"' << row.field << "\" read as " << value;
  }
}

TEST(ParseEField, FailuresLeaveTheValueAlone) {
  const char* fields[] = {
      "abc", "+", "-", ".", "1.2.3", "1.5x", "E5", "1.5E", "1.5E+", "1.5+",
      "--1", "1e+-2", "1.5E5.0", "1,5", "1.5\t", "1E400", "-1.8E308", "1.5E2E2",
      "1E18446744073709551621",  // 2^64 + 5: overflows, must not wrap to E5
  };
  for (const char* field : fields) {
    double value = 7.0;
    EXPECT_EQ(FieldStatus::failure, textio::parse_e_field(field, 5, value)) << '"' << field << '"';
    EXPECT_EQ(7.0, value) << '"' << field << '"';
  }
}

// The reader's fast path against the exact reader alone, on fields of every
// shape: signs, runs of digits on both sides of the point up to past what
// 64 bits hold, every form of exponent up to past the fast scales, blanks
// before, inside and after, and the faults. Status and value must agree bit
// for bit, and a failure must leave the value alone in both.
TEST(ParseEField, FastPathAgreesWithTheExactReaderOnEveryShape) {
  const std::vector<std::string> signs = {"", "+", "-"};
  const std::vector<std::string> wholes = {"", "0", "00", "1", "12345", "9007199254740993",
                                           "12345678901234567890"};
  const std::vector<std::string> fractions = {"", ".", ".5", ".00012", ".13690", ".30000",
                                              ".99999999999999999999"};
  const std::vector<std::string> exponents = {"", "E+01", "e-22", "D5", "q-3", "+3", "-23",
                                              "E+23", "E-325", "E99999", "E", "E+-1", "x"};
  const std::vector<std::pair<std::string, std::string>> blanks = {
      {"", ""}, {"  ", ""}, {"", "   "}, {" ", " "}};
  int compared = 0;
  for (const auto& sign : signs) {
    for (const auto& whole : wholes) {
      for (const auto& fraction : fractions) {
        for (const auto& exponent : exponents) {
          for (const auto& [before, after] : blanks) {
            const std::string field = before + sign + whole + fraction + exponent + after;
            std::vector<std::string> texts = {field};
            if (field.size() > 1) texts.push_back(field.substr(0, 1) + " " + field.substr(1));
            for (const std::string& text : texts) {
              for (int digits : {0, 5, 14}) {
                double fast = 7.0, exact = 7.0;
                const FieldStatus fast_status = textio::parse_e_field(text, digits, fast);
                const FieldStatus exact_status = textio::parse_e_field_exact(text, digits, exact);
                ASSERT_EQ(exact_status, fast_status) << '"' << text << "\" d " << digits;
                ASSERT_EQ(bits(exact), bits(fast)) << '"' << text << "\" d " << digits;
                ++compared;
              }
            }
          }
        }
      }
    }
  }
  EXPECT_GT(compared, 20000);
}

// ------------------------------------------------------- reads from a unit

class ReadFormatted : public ::testing::Test {
 protected:
  // Writes `contents` to a new file and opens it on unit 30.
  textio::Unit& open_file(const std::string& contents) {
    std::string path = (dir_.path() / ("input" + std::to_string(files_++))).string();
    testsupport::write_file(path, contents);
    return textio::open_unit(kUnit, path, textio::OpenStatus::old_file);
  }

  testsupport::ScratchDir dir_;
  int files_ = 0;
};

// Pointers to each element of `values`, for read_formatted.
std::vector<double*> pointers(std::vector<double>& values) {
  std::vector<double*> out;
  for (double& v : values) out.push_back(&v);
  return out;
}

// Ten 13-column fields holding 1 ... 10, then text that is not a number.
const std::string kTenFields =
    "  0.10000E+01  0.20000E+01  0.30000E+01  0.40000E+01  0.50000E+01  0.60000E+01"
    "  0.70000E+01  0.80000E+01  0.90000E+01  0.10000E+02 not a number";

// Records of every ending among records the written form fills exactly,
// many more than one buffer holds so that records straddle its refills:
// each is read as its own fields say, and the next starts after its end.
TEST_F(ReadFormatted, RecordsOfExactlyTheFieldsAndOthersAlternate) {
  std::string text;
  std::vector<std::vector<double>> expected;
  for (int r = 0; r < 6000; ++r) {
    // The fields' values as the exact reader gives them.
    const std::string fields = textio::render_e(300.0 * r, 13, 5) +
                               textio::render_e((r % 2 == 0 ? 1.0 : -1.0) * (r + 1) * 1.25e-3, 13, 5);
    double a = 0.0, b = 0.0;
    ASSERT_EQ(FieldStatus::ok, textio::parse_e_field_exact(fields.substr(0, 13), 5, a));
    ASSERT_EQ(FieldStatus::ok, textio::parse_e_field_exact(fields.substr(13), 5, b));
    switch (r % 6) {
      case 0: case 1:
        text += fields + "\n";
        expected.push_back({a, b});
        break;
      case 2:
        text += fields + "\r\n";
        expected.push_back({a, b});
        break;
      case 3:
        text += fields + "  0.99999E+09\n";
        expected.push_back({a, b});
        break;
      case 4:
        text += fields.substr(0, 13) + "\n";
        expected.push_back({a, 0.0});
        break;
      default:
        text += "  1.50000E+00" + fields.substr(13) + "\n";
        expected.push_back({1.5, b});
    }
  }
  textio::Unit& unit = open_file(text);
  std::vector<double> values(2);
  auto targets = pointers(values);
  for (std::size_t r = 0; r < expected.size(); ++r) {
    values.assign(2, -7.0);
    ASSERT_EQ(ReadOutcome::complete, textio::read_formatted(unit, textio::FMT4, targets)) << r;
    ASSERT_EQ(expected[r], values) << "record " << r;
  }
  EXPECT_EQ(ReadOutcome::end_of_file, textio::read_formatted(unit, textio::FMT4, targets));
}

TEST_F(ReadFormatted, SevenBinValuesUseOnlyTheFirst91Columns) {
  textio::Unit& unit = open_file(kTenFields + "\n" + kTenFields.substr(0, 91) + "abc\n" +
                                 "  0.12345E+01 -0.25000E+00\n");
  std::vector<double> values(7, -1.0);
  auto targets = pointers(values);
  for (int record = 0; record < 2; ++record) {
    values.assign(7, -1.0);
    EXPECT_EQ(ReadOutcome::complete, textio::read_formatted(unit, textio::FMT3, targets));
    EXPECT_EQ((std::vector<double>{1, 2, 3, 4, 5, 6, 7}), values);
  }
  // A 26-column record: the other five fields are blank, so zero.
  EXPECT_EQ(ReadOutcome::complete, textio::read_formatted(unit, textio::FMT3, targets));
  EXPECT_EQ((std::vector<double>{1.2345, -0.25, 0, 0, 0, 0, 0}), values);
  EXPECT_EQ(ReadOutcome::end_of_file, textio::read_formatted(unit, textio::FMT3, targets));
  textio::close_unit(kUnit);
}

TEST_F(ReadFormatted, PrecursorRecordsOfBothLayouts) {
  textio::Unit& unit = open_file(
      "  0.00000E+00  0.25000E-02\n"
      "  0.60000E+02  0.24999E-02 trailing text\n");
  double time = -1.0;
  double precursor = -1.0;
  double* targets[] = {&time, &precursor};
  EXPECT_EQ(ReadOutcome::complete, textio::read_formatted(unit, textio::FMT4, targets));
  EXPECT_EQ(0.0, time);
  EXPECT_EQ(bits(0.0025), bits(precursor));
  EXPECT_EQ(ReadOutcome::complete, textio::read_formatted(unit, textio::FMT4, targets));
  EXPECT_EQ(60.0, time);
  EXPECT_EQ(bits(0.0024999), bits(precursor));
  EXPECT_EQ(ReadOutcome::end_of_file, textio::read_formatted(unit, textio::FMT4, targets));
  EXPECT_EQ(60.0, time);  // untouched at end of file
  textio::close_unit(kUnit);

  textio::Unit& ideal = open_file(
      "    0.12345678901234E+03   -0.98765432109876E-05\r\n"
      "    0.10000000000000E+01    0.33333333333333E+00");  // no line feed at the end
  EXPECT_EQ(ReadOutcome::complete, textio::read_formatted(ideal, textio::FMT5, targets));
  EXPECT_EQ(bits(123.45678901234), bits(time));
  EXPECT_EQ(bits(-0.98765432109876e-5), bits(precursor));
  EXPECT_EQ(ReadOutcome::complete, textio::read_formatted(ideal, textio::FMT5, targets));
  EXPECT_EQ(1.0, time);
  EXPECT_EQ(bits(0.33333333333333), bits(precursor));
  EXPECT_EQ(ReadOutcome::end_of_file, textio::read_formatted(ideal, textio::FMT5, targets));
  textio::close_unit(kUnit);
}

TEST_F(ReadFormatted, CommaEndsAFieldAndTheNextStartsAfterIt) {
  // Fields: "1.5", "2.5", "-3", "" (blank, so zero), "  7" with columns past
  // the end as blanks; the last two have no point, so d = 5 places it.
  textio::Unit& unit = open_file("1.5,2.5,-3,,  7\r\n");
  std::vector<double> values(7, -1.0);
  auto targets = pointers(values);
  EXPECT_EQ(ReadOutcome::complete, textio::read_formatted(unit, textio::FMT3, targets));
  EXPECT_EQ((std::vector<double>{1.5, 2.5, -3.0e-5, 0.0, 7.0e-5, 0.0, 0.0}), values);
  textio::close_unit(kUnit);
}

// The first two fields in the E descriptor's own form, the third ended by a
// comma: the fourth starts after the comma, and the rest are blanks.
TEST_F(ReadFormatted, CommaAfterFieldsInTheWrittenFormMovesTheFieldsAfterIt) {
  textio::Unit& unit = open_file("  0.10000E+01  0.20000E+01 -2.5,  0.40000E+01\n");
  std::vector<double> values(7, -1.0);
  auto targets = pointers(values);
  EXPECT_EQ(ReadOutcome::complete, textio::read_formatted(unit, textio::FMT3, targets));
  EXPECT_EQ((std::vector<double>{1.0, 2.0, -2.5, 4.0, 0.0, 0.0, 0.0}), values);
  textio::close_unit(kUnit);
}

TEST_F(ReadFormatted, PositionMoveSkipsColumnsOnInput) {
  textio::Unit& unit = open_file("x 0.150E+01y-0.250E+00\n");
  std::vector<double> values(2, -1.0);
  auto targets = pointers(values);
  EXPECT_EQ(ReadOutcome::complete, textio::read_formatted(unit, textio::FMT1, targets));
  EXPECT_EQ((std::vector<double>{1.5, -0.25}), values);
  textio::close_unit(kUnit);
}

TEST_F(ReadFormatted, FormatRunningOutTakesTheNextRecord) {
  textio::Unit& unit = open_file(
      "  0.10000E+01  0.20000E+01  0.99999E+01\n"
      "  0.30000E+01  0.99999E+01\n"
      "  0.40000E+01  0.50000E+01\n");
  std::vector<double> values(3, -1.0);
  auto targets = pointers(values);
  EXPECT_EQ(ReadOutcome::complete, textio::read_formatted(unit, textio::FMT4, targets));
  EXPECT_EQ((std::vector<double>{1, 2, 3}), values);
  // One record left: the first two destinations are filled, the third kept.
  values.assign(3, -1.0);
  EXPECT_EQ(ReadOutcome::end_of_file, textio::read_formatted(unit, textio::FMT4, targets));
  EXPECT_EQ((std::vector<double>{4, 5, -1}), values);
  textio::close_unit(kUnit);
}

TEST_F(ReadFormatted, EmptyFileIsAtItsEnd) {
  textio::Unit& unit = open_file("");
  double value = 42.0;
  double* targets[] = {&value};
  EXPECT_EQ(ReadOutcome::end_of_file, textio::read_formatted(unit, textio::FMT4, targets));
  EXPECT_EQ(42.0, value);
  textio::close_unit(kUnit);
}

TEST_F(ReadFormatted, UnconvertibleFieldEndsTheRunWithMessage64) {
  textio::Unit& unit = open_file("  0.10000E+01  abc\n");
  double first = 0.0;
  double second = 0.0;
  double* targets[] = {&first, &second};
  EXPECT_EXIT(textio::read_formatted(unit, textio::FMT4, targets),
              ::testing::ExitedWithCode(64),
              "forrtl: severe \\(64\\): input conversion error, unit 30, file .*/input0");
  textio::close_unit(kUnit);
}

TEST_F(ReadFormatted, WrittenRecordsReadBack) {
  std::string path = (dir_.path() / "written").string();
  const std::vector<double> values = {1.5, -0.25, 0.0, 1.0e-20, -kInf, 12345.0, 0.001};
  textio::Unit& unit = textio::open_unit(kUnit, path, textio::OpenStatus::new_file);
  textio::write_formatted(unit, textio::FMT2, values);
  textio::write_formatted(unit, textio::FMT3, values);
  textio::close_unit(kUnit);

  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  EXPECT_EQ(
      "  0.150E+01 -0.250E+00  0.000E+00  0.100E-19  -Infinity  0.123E+05  0.100E-02\n"
      "  0.15000E+01 -0.25000E+00  0.00000E+00  0.10000E-19    -Infinity  0.12345E+05"
      "  0.10000E-02\n",
      contents.str());
}

}  // namespace
