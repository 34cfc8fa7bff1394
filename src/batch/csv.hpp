// CSV as the tables of vbsfit-batch write it: a header row, fields quoted
// when they hold a comma, a quote or a line end (quotes doubled inside),
// records ending in "\n", numbers as the shortest text that reads back to the
// same double, and an empty field for a value that is not there.
//
// A spreadsheet takes a cell that begins with '=', '+', '-' or '@' for a
// formula. A text cell (a name, a message, a path, a flag; never a number,
// so that -0.5 and -inf stay numbers) that begins so is written quoted with
// a single quote before it, "'=x", which spreadsheets show as the text =x;
// one that begins with that quote and then such a character gets one more.
// parse_csv takes the quote off again, so the tables read back unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>


namespace batch {

using CsvRow = std::vector<std::string>;
// Which fields of a record are text: bit n for field n (from 0).
using TextFields = std::uint64_t;

// The field as it goes into a record; `text` for a text field.
std::string csv_field(std::string_view field, bool text = false);

// The shortest text that reads back to `value`; empty for NaN.
std::string csv_number(double value);
std::string csv_number(std::optional<double> value);

// Header and rows as CSV text, the rows' fields `text_fields` text.
std::string csv_text(const CsvRow& header, const std::vector<CsvRow>& rows,
                     TextFields text_fields = 0);
// Appends one record of that text, its "\n" included, to `text`.
void append_csv_record(std::string& text, const CsvRow& row, TextFields text_fields = 0);

// The records of CSV text (quoted fields may hold commas, quotes and line
// ends; a record may end in "\r\n" or "\n"), a text field's quote against
// formulas taken off. Returns why it cannot be read, or empty with `rows`
// filled.
std::string parse_csv(std::string_view text, std::vector<CsvRow>& rows);

}  // namespace batch
