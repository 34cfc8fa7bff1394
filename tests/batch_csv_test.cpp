// The CSV of vbsfit-batch's tables: quoting, numbers that read back exactly,
// and reading back what was written.
#include "batch/csv.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>


namespace {

TEST(Csv, FieldsAreQuotedOnlyWhenTheyMustBe) {
  const struct {
    const char* text;
    const char* field;
  } cases[] = {
      {"plain", "plain"},
      {"", ""},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\nlines", "\"two\nlines\""},
      {"cr\r", "\"cr\r\""},
      {"<i>&x", "<i>&x"},
      {" blank ", " blank "},
  };
  for (const auto& c : cases) EXPECT_EQ(batch::csv_field(c.text), c.field) << c.text;
}

TEST(Csv, NumbersAreTheShortestTextThatReadsBackExactly) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0"},
      {-0.0, "-0"},
      {1.0, "1"},
      {0.1, "0.1"},
      {1.0 / 3.0, "0.3333333333333333"},
      {3.9999998989515007e-05, "3.9999998989515007e-05"},
      {10000.0, "10000"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {std::numeric_limits<double>::quiet_NaN(), ""},
  };
  for (const auto& c : cases) {
    const std::string text = batch::csv_number(c.value);
    EXPECT_EQ(text, c.text);
    if (std::isnan(c.value)) continue;
    double back = 0.0;
    std::from_chars(text.data(), text.data() + text.size(), back);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(c.value)) << text;
  }
  EXPECT_EQ(batch::csv_number(std::optional<double>()), "");
}

// A text cell that a spreadsheet would take for a formula is written so
// that it shows as text; numbers and other text are written as they are.
TEST(Csv, TextThatLooksLikeAFormulaIsWrittenAsText) {
  const struct {
    const char* cell;
    bool text;
    const char* field;
  } cases[] = {
      {"=HYPERLINK(\"x\")", true, "\"'=HYPERLINK(\"\"x\"\")\""},
      {"+1", true, "\"'+1\""},
      {"-x", true, "\"'-x\""},
      {"@SUM(A1)", true, "\"'@SUM(A1)\""},
      {"=a,b", true, "\"'=a,b\""},
      {"'=x", true, "\"''=x\""},  // a quote of its own stays
      {"''-x", true, "\"'''-x\""},
      {"'x", true, "'x"},
      {"'", true, "'"},
      {"a=b", true, "a=b"},
      {"", true, ""},
      {"-0.5", false, "-0.5"},  // numbers stay numbers
      {"-inf", false, "-inf"},
      {"-1e-05", false, "-1e-05"},
  };
  std::vector<batch::CsvRow> rows;
  for (const auto& c : cases) {
    EXPECT_EQ(batch::csv_field(c.cell, c.text), c.field) << c.cell;
    rows.push_back({c.cell, c.cell});
  }
  // Our reader gives every cell back as it was.
  std::vector<batch::CsvRow> back;
  ASSERT_EQ(batch::parse_csv(batch::csv_text({"text", "number"}, rows, 0b01), back), "");
  ASSERT_EQ(back.size(), rows.size() + 1);
  for (std::size_t n = 0; n < rows.size(); ++n) EXPECT_EQ(back[n + 1], rows[n]);
}

TEST(Csv, WhatIsWrittenReadsBack) {
  const batch::CsvRow header = {"name", "message"};
  const std::vector<batch::CsvRow> rows = {
      {"a,b", "forrtl: severe (29): file not found, unit 20, file /x/\"q\"/y"},
      {"", "line\nbreak"},
      {"<i>&x", ""},
  };
  std::vector<batch::CsvRow> back;
  ASSERT_EQ(batch::parse_csv(batch::csv_text(header, rows), back), "");
  ASSERT_EQ(back.size(), 4u);
  EXPECT_EQ(back[0], header);
  for (std::size_t n = 0; n < rows.size(); ++n) EXPECT_EQ(back[n + 1], rows[n]);

  ASSERT_EQ(batch::parse_csv("a,b\r\n1,2\r\n", back), "");  // CRLF records too
  EXPECT_EQ(back, (std::vector<batch::CsvRow>{{"a", "b"}, {"1", "2"}}));
  ASSERT_EQ(batch::parse_csv("\"a\",b\r\n1,\"2,3\"\r\n", back), "");  // quoted before CRLF
  EXPECT_EQ(back, (std::vector<batch::CsvRow>{{"a", "b"}, {"1", "2,3"}}));
  EXPECT_EQ(batch::parse_csv("a,\"b\n", back), "record 1: unterminated quote");
  EXPECT_EQ(batch::parse_csv("a,\"b\"c\n", back), "record 1: text after a closing quote");
  EXPECT_EQ(batch::parse_csv("x\na\"b\n", back), "record 2: a quote inside an unquoted field");
}

}  // namespace
