#include "batch/csv.hpp"

#include <algorithm>
#include <cmath>

#include "config/formats.hpp"

namespace batch {

namespace {

// Whether a spreadsheet would take text cell `text` for a formula, or it
// is such a text after quotes against that (which must be kept apart from
// the quote the writer adds).
bool formula_like(std::string_view text) {
  std::size_t quotes = 0;
  while (quotes < text.size() && text[quotes] == '\'') ++quotes;
  if (quotes == text.size()) return false;
  const char first = text[quotes];
  return first == '=' || first == '+' || first == '-' || first == '@';
}

// Appends `field` to `out` as a field of a record; `text` for a text field.
void append_field(std::string& out, std::string_view field, bool text) {
  const bool formula = text && formula_like(field);
  const bool plain = !formula && std::none_of(field.begin(), field.end(), [](char c) {
    return c == ',' || c == '"' || c == '\r' || c == '\n';
  });
  if (plain) {
    out += field;
    return;
  }
  out += formula ? "\"'" : "\"";
  for (char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

}  // namespace

std::string csv_field(std::string_view field, bool text) {
  std::string out;
  append_field(out, field, text);
  return out;
}

std::string csv_number(double value) {
  return std::isnan(value) ? std::string() : config::shortest(value);
}

std::string csv_number(std::optional<double> value) {
  return value ? csv_number(*value) : std::string();
}

void append_csv_record(std::string& text, const CsvRow& row, TextFields text_fields) {
  for (std::size_t n = 0; n < row.size(); ++n) {
    if (n > 0) text += ',';
    append_field(text, row[n], n < 64 && (text_fields >> n & 1) != 0);
  }
  text += '\n';
}

std::string csv_text(const CsvRow& header, const std::vector<CsvRow>& rows,
                     TextFields text_fields) {
  std::string text;
  append_csv_record(text, header);
  for (const CsvRow& row : rows) append_csv_record(text, row, text_fields);
  return text;
}

std::string parse_csv(std::string_view text, std::vector<CsvRow>& rows) {
  rows.clear();
  std::size_t at = 0;
  int record = 1;
  while (at < text.size()) {
    CsvRow row;
    for (;;) {
      std::string field;
      if (at < text.size() && text[at] == '"') {
        ++at;
        for (;;) {
          if (at >= text.size()) return "record " + std::to_string(record) + ": unterminated quote";
          if (text[at] == '"') {
            if (at + 1 < text.size() && text[at + 1] == '"') {
              field += '"';
              at += 2;
              continue;
            }
            ++at;
            break;
          }
          field += text[at++];
        }
        if (at < text.size() && text[at] != ',' && text[at] != '\n' && text[at] != '\r') {
          return "record " + std::to_string(record) + ": text after a closing quote";
        }
        if (field.size() > 1 && field[0] == '\'' && formula_like(field.substr(1))) {
          field.erase(0, 1);  // the quote against formulas
        }
      } else {
        const std::size_t end = text.find_first_of(",\r\n", at);
        const std::size_t stop = end == std::string_view::npos ? text.size() : end;
        field.assign(text.substr(at, stop - at));
        if (field.find('"') != std::string::npos) {
          return "record " + std::to_string(record) + ": a quote inside an unquoted field";
        }
        at = stop;
      }
      row.push_back(std::move(field));
      if (at < text.size() && text[at] == ',') {
        ++at;
        continue;
      }
      break;
    }
    if (at < text.size() && text[at] == '\r') ++at;
    if (at < text.size() && text[at] == '\n') ++at;
    rows.push_back(std::move(row));
    ++record;
  }
  return {};
}

}  // namespace batch
