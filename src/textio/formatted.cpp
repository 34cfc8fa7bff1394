#include "textio/formatted.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

#include "diagnostics/diagnostic.hpp"
#include "textio/decimal.hpp"
#include "textio/number_text.hpp"

namespace textio {
namespace {

constexpr EditDescriptor kOneBlank{EditDescriptor::Kind::skip, 1, 0};
constexpr EditDescriptor kE10_3{EditDescriptor::Kind::e_field, 10, 3};
constexpr EditDescriptor kE13_5{EditDescriptor::Kind::e_field, 13, 5};
constexpr EditDescriptor kE24_14{EditDescriptor::Kind::e_field, 24, 14};

// The widest exponent a field shows: its sign and three digits, no letter.
constexpr int kMaxShownExponent = 999;

// Past a tenth of this an input exponent is held at the bound: the value is
// then certainly zero or too large for a double, whatever the mantissa holds
// (no field can have that many digits).
constexpr long long kExponentBound = 1'000'000'000'000'000'000;

}  // namespace

Format::Format(std::vector<EditDescriptor> list, int repeat)
    : descriptors(std::move(list)),
      group_repeat(repeat),
      one_kind_of_field(repeat == 0 && !descriptors.empty()),
      written(0, 0) {
  for (const EditDescriptor& d : descriptors) {
    const EditDescriptor& front = descriptors.front();
    if (d.kind != EditDescriptor::Kind::e_field || d.width != front.width ||
        d.digits != front.digits) {
      one_kind_of_field = false;
    }
  }
  if (one_kind_of_field) {
    written = EOutputField(descriptors.front().width, descriptors.front().digits);
  }
}

const Format FMT1{{kOneBlank, kE10_3}, 8};
const Format FMT2{{kOneBlank, kE10_3}, 8};
const Format FMT3{std::vector<EditDescriptor>(20, kE13_5), 0};
const Format FMT4{{kE13_5, kE13_5}, 0};
const Format FMT5{{kE24_14, kE24_14}, 0};

namespace {

// Format control for one statement of `item_count` items. Goes through the
// descriptors in order (all of them `group_repeat` times when the format is
// one group), calling move(n) for nX, field(item, descriptor) for each E
// field and next_record() when the format runs out with items left, after
// which it starts over: the group with its full repeat count, or the format
// from its beginning. The statement ends at the first E field for which no
// item is left. Returns false as soon as next_record() does.
template <typename Move, typename Field, typename NextRecord>
bool control_format(const Format& format, std::size_t item_count, Move move, Field field,
                    NextRecord next_record) {
  bool has_field = std::any_of(format.descriptors.begin(), format.descriptors.end(),
                               [](const EditDescriptor& d) {
                                 return d.kind == EditDescriptor::Kind::e_field;
                               });
  if (!has_field) return true;  // nothing could ever take an item
  const int passes = format.group_repeat > 0 ? format.group_repeat : 1;
  std::size_t item = 0;
  while (item < item_count) {
    for (int pass = 0; pass < passes; ++pass) {
      for (const EditDescriptor& d : format.descriptors) {
        if (d.kind == EditDescriptor::Kind::skip) {
          move(d.width);
          continue;
        }
        if (item == item_count) return true;
        field(item, d);
        ++item;
      }
    }
    if (item == item_count) break;
    if (!next_record()) return false;
  }
  return true;
}

// Appends the decimal digits of `value` (non-negative, below 1000) in at
// least `width` digits.
void append_digits(std::string& out, int value, int width) {
  char text[8];
  auto result = std::to_chars(text, text + sizeof text, value);
  out.append(static_cast<std::size_t>(std::max(0, width - static_cast<int>(result.ptr - text))), '0');
  out.append(text, result.ptr);
}

// `text` right-justified in `width` columns, or `width` asterisks when it does
// not fit.
std::string right_justify_or_asterisks(std::string_view text, std::size_t width) {
  if (text.size() > width) return std::string(width, '*');
  std::string out(width - text.size(), ' ');
  out.append(text);
  return out;
}

}  // namespace

std::string render_e(double value, int width, int digits) {
  const std::size_t w = static_cast<std::size_t>(std::max(0, width));
  if (std::isnan(value)) return right_justify_or_asterisks("NaN", w);
  if (std::isinf(value)) {
    bool negative = value < 0.0;
    std::string text = negative ? "-" : "";
    text += width >= 8 + (negative ? 1 : 0) ? "Infinity" : "Inf";
    return right_justify_or_asterisks(text, w);
  }
  // Only the descriptors E w.d with 1 <= d <= the digits the conversion gives
  // are supported; any other d leaves the field to asterisks.
  if (digits < 1 || digits > RoundedDecimal::kMaxDigits) return std::string(w, '*');

  const bool negative = value < 0.0;  // minus zero is written like zero
  const RoundedDecimal rounded = round_significant(std::fabs(value), digits);
  const int exponent = rounded.exponent;
  if (std::abs(exponent) > kMaxShownExponent) return std::string(w, '*');

  std::string body = ".";  // everything after the optional sign and 0
  body.append(rounded.digits, static_cast<std::size_t>(rounded.count));
  if (std::abs(exponent) <= 99) body += 'E';
  body += exponent < 0 ? '-' : '+';
  append_digits(body, std::abs(exponent), std::abs(exponent) <= 99 ? 2 : 3);

  const std::size_t bare = body.size() + (negative ? 1 : 0);
  if (bare > w) return std::string(w, '*');
  std::string out(w - bare - (bare < w ? 1 : 0), ' ');
  if (negative) out += '-';
  if (bare < w) out += '0';  // only where a column is left for it
  out += body;
  return out;
}

namespace {

// A field read character by character: blanks are ignored wherever they
// stand, and next() skips them.
struct FieldReader {
  static constexpr int kEnd = -1;
  std::string_view field;
  std::size_t pos = 0;
  // The character at pos or after the blanks there, or kEnd.
  int next() {
    while (pos < field.size() && field[pos] == ' ') ++pos;
    return pos < field.size() ? static_cast<unsigned char>(field[pos]) : kEnd;
  }
};

// Reads the exponent that `c`, the character at in.pos, begins (an
// exponent letter or a sign) to the end of the field into `exponent`.
// Returns false when the rest of the field is not one.
bool parse_exponent(FieldReader& in, int c, long long& exponent) {
  if (is_exponent_letter(c)) {
    ++in.pos;
    c = in.next();
  } else if (c != '+' && c != '-') {
    return false;
  }
  bool negative_exponent = false;
  if (c == '+' || c == '-') {
    negative_exponent = c == '-';
    ++in.pos;
    c = in.next();
  }
  if (!is_digit(c)) return false;
  for (; is_digit(c); ++in.pos, c = in.next()) {
    exponent = exponent < kExponentBound / 10 ? exponent * 10 + (c - '0') : kExponentBound;
  }
  if (c != FieldReader::kEnd) return false;
  if (negative_exponent) exponent = -exponent;
  return true;
}

}  // namespace

FieldStatus parse_e_field_exact(std::string_view field, int digits, double& value) {
  FieldReader in{field};
  constexpr int kEnd = FieldReader::kEnd;

  int c = in.next();
  if (c == kEnd) {
    value = 0.0;
    return FieldStatus::ok;
  }
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    ++in.pos;
    c = in.next();
  }

  // The mantissa's digits, without the point, and how many stood after it;
  // then 'e' and the scale (at most 20 characters).
  NumberText text(field.size() + 24);
  char* const mantissa = text.data();
  std::size_t length = 0;
  if (negative) mantissa[length++] = '-';
  std::size_t digit_count = 0;
  bool point = false;
  long long fraction_digits = 0;
  for (; is_digit(c) || (c == '.' && !point); ++in.pos, c = in.next()) {
    if (c == '.') {
      point = true;
      continue;
    }
    mantissa[length++] = static_cast<char>(c);
    ++digit_count;
    if (point) ++fraction_digits;
  }
  if (digit_count == 0) return FieldStatus::failure;

  long long exponent = 0;
  if (c != kEnd && !parse_exponent(in, c, exponent)) return FieldStatus::failure;

  // Without a point the last `digits` digits are the fraction.
  const long long scale = exponent - (point ? fraction_digits : digits);
  mantissa[length++] = 'e';
  const char* scale_end = std::to_chars(mantissa + length, mantissa + length + 21, scale).ptr;
  length = static_cast<std::size_t>(scale_end - mantissa);

  double converted = 0.0;
  if (to_double(std::string_view(mantissa, length), converted) != Conversion::ok) {
    return FieldStatus::failure;
  }
  value = converted;
  return FieldStatus::ok;
}

std::vector<std::string> render_formatted(const Format& format, std::span<const double> items) {
  std::vector<std::string> records(1);
  // A move only advances the position; the blanks it stands for are written
  // when, and only if, a field follows it in the same record.
  std::size_t position = 0;
  control_format(
      format, items.size(), [&](int columns) { position += static_cast<std::size_t>(columns); },
      [&](std::size_t item, const EditDescriptor& d) {
        std::string& record = records.back();
        if (record.size() < position) record.resize(position, ' ');
        record += render_e(items[item], d.width, d.digits);
        position = record.size();
      },
      [&] {
        records.emplace_back();
        position = 0;
        return true;
      });
  return records;
}

void write_formatted(Unit& unit, const Format& format, std::span<const double> items) {
  unit.write_records(render_formatted(format, items));
}

namespace {

[[noreturn]] void conversion_failed(const Unit& unit) {
  diagnostics::issue_severe(diagnostics::kInputConversion,
                            {unit.number(), unit.file_name().c_str()});
}

// Reads the fields of a statement that one record holds when every one of
// them is in the E descriptor's own form (`written`): w columns each, side by
// side from the first column. Returns false at the first field that is not,
// with the fields before it read; the format control reads the statement
// then, and takes these same fields from these same columns (a field of that
// form holds no comma).
bool read_written_fields(std::string_view record, const EOutputField& written,
                         std::span<double* const> destinations) {
  return written.read_row(record, destinations) == destinations.size();
}

}  // namespace

namespace {

// read_formatted past its first way: the next record found by its line
// feed, its fields side by side where they can be, else by format control.
[[gnu::noinline]] ReadOutcome read_record_formatted(Unit& unit, const Format& format,
                                                   std::span<double* const> destinations,
                                                   bool side_by_side) {
  std::string_view record;
  if (!unit.read_record(record)) return ReadOutcome::end_of_file;
  if (side_by_side && read_written_fields(record, format.written, destinations)) {
    return ReadOutcome::complete;
  }
  // Commas are looked for field by field only in a record that has one.
  bool commas = record.find(',') != std::string_view::npos;
  std::size_t position = 0;
  bool complete = control_format(
      format, destinations.size(),
      [&](int columns) { position += static_cast<std::size_t>(columns); },
      [&](std::size_t item, const EditDescriptor& d) {
        // The next w columns, those past the record's end being blanks; a
        // comma ends the field early and the next one starts after it.
        std::size_t start = std::min(position, record.size());
        std::size_t end = std::min(position + static_cast<std::size_t>(d.width), record.size());
        std::string_view field(record.data() + start, end - start);
        std::size_t comma = commas ? field.find(',') : std::string_view::npos;
        if (comma != std::string_view::npos) {
          field = field.substr(0, comma);
          position = start + comma + 1;
        } else {
          position += static_cast<std::size_t>(d.width);
        }
        if (parse_e_field(field, d.digits, *destinations[item]) != FieldStatus::ok) {
          conversion_failed(unit);
        }
      },
      [&] {
        position = 0;
        if (!unit.read_record(record)) return false;
        commas = record.find(',') != std::string_view::npos;
        return true;
      });
  return complete ? ReadOutcome::complete : ReadOutcome::end_of_file;
}

}  // namespace

ReadOutcome read_formatted(Unit& unit, const Format& format, std::span<double* const> destinations) {
  const bool side_by_side =
      format.one_kind_of_field && destinations.size() <= format.descriptors.size();
  if (side_by_side) {
    // A record of exactly the statement's fields and a line feed, taken
    // without looking for its end first: fields of the written form hold no
    // line feed, so the one after them is the first, and the last field ends
    // in a digit, not the carriage return a record's end would drop.
    const std::size_t length = destinations.size() * format.written.width();
    std::string_view record;
    if (unit.buffered(length + 1, record) && record[length] == '\n' &&
        read_written_fields(record.substr(0, length), format.written, destinations)) {
      unit.take_buffered(length + 1);
      return ReadOutcome::complete;
    }
  }
  return read_record_formatted(unit, format, destinations, side_by_side);
}

}  // namespace textio
