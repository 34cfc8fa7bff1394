// CSV as the tables of vbsfit-batch write it: a header row, fields quoted
// when they hold a comma, a quote or a line end (quotes doubled inside),
// records ending in "\n", numbers as the shortest text that reads back to the
// same double, and an empty field for a value that is not there.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>


namespace batch {

using CsvRow = std::vector<std::string>;

// The field as it goes into a record.
std::string csv_field(std::string_view text);

// The shortest text that reads back to `value`; empty for NaN.
std::string csv_number(double value);
std::string csv_number(std::optional<double> value);

// Header and rows as CSV text.
std::string csv_text(const CsvRow& header, const std::vector<CsvRow>& rows);
// Appends one record of that text, its "\n" included, to `text`.
void append_csv_record(std::string& text, const CsvRow& row);

// The records of CSV text (quoted fields may hold commas, quotes and line
// ends; a record may end in "\r\n" or "\n"). Returns why it cannot be read,
// or empty with `rows` filled.
std::string parse_csv(std::string_view text, std::vector<CsvRow>& rows);

}  // namespace batch
