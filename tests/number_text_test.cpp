// The fixed-column reader of E fields against the exact reader: on every
// field the E descriptor writes it must take the field and give the exact
// value, and on every field it takes, written so or not, the exact value.
#include "textio/number_text.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "textio/formatted.hpp"

namespace {

using textio::EOutputField;
using textio::FieldStatus;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// The descriptors the reader serves: the program's E13.5 and E24.14, the
// narrowest field for one and for two words of digits, the most blanks
// before the sign, and the most digits.
struct Shape {
  int width, digits;
};
constexpr Shape kShapes[] = {{13, 5}, {24, 14}, {12, 5}, {12, 1}, {20, 9},
                             {20, 13}, {20, 8}, {23, 8}, {23, 16}, {17, 2}};

// Checks `field` against the exact reader: where the fixed-column reader
// takes it, it gives the exact reader's value bit for bit. Returns whether
// it took it.
bool agrees_with_exact(const EOutputField& reader, const std::string& field, int digits) {
  double fast = -7.0, exact = -7.0;
  const bool taken = reader.read(field, fast);
  const FieldStatus status = textio::parse_e_field_exact(field, digits, exact);
  if (taken) {
    EXPECT_EQ(FieldStatus::ok, status) << '"' << field << '"';
    EXPECT_EQ(bits(exact), bits(fast)) << '"' << field << '"';
  } else {
    EXPECT_EQ(-7.0, fast) << '"' << field << "\" declined but changed";
  }
  return taken;
}

TEST(EOutputField, TakesEveryFieldTheDescriptorWritesAndReadsItExactly) {
  std::mt19937_64 rng(11);
  for (const Shape& shape : kShapes) {
    const EOutputField reader(shape.width, shape.digits);
    int taken = 0, written = 0;
    for (int n = 0; n < 4000; ++n) {
      // Magnitudes from 1e-30 to 1e30, both signs, and some zeros.
      const double magnitude = n % 97 == 0 ? 0.0 : std::pow(10.0, (rng() % 60000) / 1000.0 - 30.0);
      const double value = rng() % 2 == 0 ? magnitude : -magnitude;
      const std::string field = textio::render_e(value, shape.width, shape.digits);
      if (field.find('*') != std::string::npos) continue;
      ++written;
      const int exponent = std::atoi(field.c_str() + field.size() - 3);
      // Every scale within 10^-22 ... 10^22 must be taken (its digits are an
      // exact double up to 15 of them, and so is the power of ten).
      const int scale = exponent - shape.digits;
      const bool must_take = shape.digits <= 15 && scale >= -22 && scale <= 22;
      const bool took = agrees_with_exact(reader, field, shape.digits);
      if (must_take) {
        EXPECT_TRUE(took) << '"' << field << "\" E" << shape.width << '.' << shape.digits;
      }
      taken += took ? 1 : 0;
    }
    EXPECT_GT(taken, written / 2) << "E" << shape.width << '.' << shape.digits;
  }
}

// Every column of written fields replaced by each of a set of characters
// (those the form is made of, their neighbours in the character set, and
// bytes above 127): taken or not, never a value the exact reader does not
// give.
TEST(EOutputField, AnyOneChangedColumnIsDeclinedOrReadExactly) {
  const std::string replacements =
      std::string(" +-.,0159/:EeDdx") + '\0' + '\x7f' + '\x80' + '\xff';
  for (const Shape& shape : kShapes) {
    const EOutputField reader(shape.width, shape.digits);
    for (double value : {1.369, -0.0123456789012345, 25.0, -3.0e-5}) {
      const std::string field = textio::render_e(value, shape.width, shape.digits);
      ASSERT_TRUE(agrees_with_exact(reader, field, shape.digits)) << '"' << field << '"';
      for (std::size_t column = 0; column < field.size(); ++column) {
        for (char c : replacements) {
          std::string changed = field;
          changed[column] = c;
          agrees_with_exact(reader, changed, shape.digits);
        }
      }
    }
  }
}

// Fields it cannot read at fixed columns inside the field are left to the
// other readers: descriptors outside its range, and fields cut short by the
// end of their record.
TEST(EOutputField, DeclinesDescriptorsAndFieldsOutsideItsForm) {
  struct Row {
    int width, digits;
    const char* field;
  };
  const Row rows[] = {
      {10, 3, " 0.150E+01"},                          // narrower than one word of digits
      {19, 9, "   0.150000000E+01"},                  // two words would start before it
      {30, 5, "                 0.15000E+01"},        // more than eight blanks before the sign
      {24, 17, "0.15000000000000000E+01"},            // more digits than two words
      {13, 0, "  0.15000E+01"},                       // no digits
      {13, 5, "  0.15000E+0"},                        // cut short
      {13, 5, "  0.15000D+01"},                       // another exponent letter
      {13, 5, "   .15000E+01"},                       // no leading zero
  };
  for (const Row& row : rows) {
    double value = -7.0;
    EXPECT_FALSE(EOutputField(row.width, row.digits).read(row.field, value))
        << '"' << row.field << '"';
    EXPECT_EQ(-7.0, value);
  }
}

// Rows of fields side by side, as the input files hold them: read_row gives
// for every field it takes the exact reader's value, and stops at the first
// field it does not take, which the exact reader then decides.
void expect_row_exact(const EOutputField& reader, const std::string& record, int width,
                      int digits, std::size_t count) {
  std::vector<double> fast(count, -7.0);
  std::vector<double*> destinations;
  for (double& d : fast) destinations.push_back(&d);
  const std::size_t taken = reader.read_row(record, destinations);
  ASSERT_LE(taken, count);
  for (std::size_t n = 0; n < count; ++n) {
    const std::size_t start = n * static_cast<std::size_t>(width);
    if (n >= taken) {
      EXPECT_EQ(-7.0, fast[n]) << '"' << record << "\" field " << n << " declined but changed";
      continue;
    }
    double exact = -7.0;
    ASSERT_LE(start + static_cast<std::size_t>(width), record.size());
    const std::string field = record.substr(start, static_cast<std::size_t>(width));
    EXPECT_EQ(FieldStatus::ok, textio::parse_e_field_exact(field, digits, exact)) << field;
    EXPECT_EQ(bits(exact), bits(fast[n])) << '"' << field << '"';
  }
}

TEST(EOutputFieldRow, ReadsWrittenRowsExactlyAtEveryScale) {
  std::mt19937_64 rng(23);
  for (const Shape& shape : kShapes) {
    const EOutputField reader(shape.width, shape.digits);
    for (int n = 0; n < 3000; ++n) {
      const std::size_t count = 1 + rng() % 8;
      std::string record;
      for (std::size_t k = 0; k < count; ++k) {
        // Magnitudes from 1e-60 to 1e40 (beyond the fast conversion's scales
        // on both sides), both signs, and some zeros.
        const double magnitude =
            rng() % 31 == 0 ? 0.0 : std::pow(10.0, (rng() % 100000) / 1000.0 - 60.0);
        record += textio::render_e(rng() % 2 == 0 ? magnitude : -magnitude, shape.width,
                                   shape.digits);
      }
      if (record.find('*') != std::string::npos) continue;
      std::vector<double> values(count, -7.0);
      std::vector<double*> destinations;
      for (double& d : values) destinations.push_back(&d);
      // E13.5 rows of two fields or more, the input files' own, are taken
      // whole at every scale.
      if (shape.width == 13 && shape.digits == 5 && count >= 2) {
        EXPECT_EQ(count, reader.read_row(record, destinations)) << '"' << record << '"';
      }
      expect_row_exact(reader, record, shape.width, shape.digits, count);
    }
  }
}

TEST(EOutputFieldRow, AnyOneChangedColumnStopsTheRowOrIsReadExactly) {
  const std::string replacements =
      std::string(" +-.,0159/:EeDdx\n") + '\0' + '\x7f' + '\x80' + '\xff';
  for (const Shape& shape : kShapes) {
    const EOutputField reader(shape.width, shape.digits);
    std::string record;
    for (double value : {1.369, -0.0123456789012345, 25.0, -3.0e-5, 4.5e-30}) {
      record += textio::render_e(value, shape.width, shape.digits);
    }
    expect_row_exact(reader, record, shape.width, shape.digits, 5);
    for (std::size_t column = 0; column < record.size(); ++column) {
      for (char c : replacements) {
        std::string changed = record;
        changed[column] = c;
        expect_row_exact(reader, changed, shape.width, shape.digits, 5);
      }
    }
  }
}

TEST(EOutputFieldRow, StopsAtTheRecordsEnd) {
  const EOutputField reader(13, 5);
  const std::string row = "  0.30000E+03 -0.17969E+00  0.23899E-01";
  for (std::size_t length = 0; length <= row.size(); ++length) {
    // Cut from a longer text, so that a read past the record would find
    // more fields.
    const std::string_view record(row.data(), length);
    double values[3] = {-7.0, -7.0, -7.0};
    double* destinations[3] = {&values[0], &values[1], &values[2]};
    EXPECT_EQ(length / 13, reader.read_row(record, destinations)) << length;
    EXPECT_EQ(length >= 13 ? 300.0 : -7.0, values[0]);
    EXPECT_EQ(length >= 26 ? -0.17969 : -7.0, values[1]);
    EXPECT_EQ(length >= 39 ? 0.023899 : -7.0, values[2]);
  }
}

}  // namespace
