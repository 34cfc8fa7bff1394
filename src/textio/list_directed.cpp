#include "textio/list_directed.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/diagnostic.hpp"
#include "textio/decimal.hpp"
#include "textio/number_text.hpp"

namespace textio {
namespace {

constexpr int kIntegerColumns = 12;
constexpr int kRealColumns = 24;
// Fixed form: the number right-justified in the first 19 columns, 5 blanks after.
constexpr int kFixedColumns = 19;
constexpr int kFixedDigits = 15;     // significant digits shown in fixed form; also decides the form
constexpr int kExponentDigits = 16;  // significant digits shown in exponent form

// `text` right-justified in `width` columns; longer text is kept whole and
// widens the field.
std::string right_justify_never_cut(std::string_view text, int width) {
  std::string out;
  if (static_cast<int>(text.size()) < width) out.assign(width - text.size(), ' ');
  out.append(text);
  return out;
}

// The fixed form of a value whose 15-digit rounding `r` has 0 <= exponent <= 15.
std::string fixed_form(bool negative, const RoundedDecimal& r) {
  std::string number = negative ? "-" : "";
  int k = r.exponent;
  if (k == 0) number += '0';
  number.append(r.digits, k);
  number += '.';
  number.append(r.digits + k, kFixedDigits - k);
  return right_justify_never_cut(number, kFixedColumns) +
         std::string(kRealColumns - kFixedColumns, ' ');
}

// The exponent form d.dddddddddddddddE+qqq of the nonzero, finite `magnitude`.
std::string exponent_form(bool negative, double magnitude) {
  RoundedDecimal r = round_significant(magnitude, kExponentDigits);
  int q = r.exponent - 1;
  std::string number = negative ? "-" : "";
  number += r.digits[0];
  number += '.';
  number.append(r.digits + 1, kExponentDigits - 1);
  number += 'E';
  number += q < 0 ? '-' : '+';
  int a = q < 0 ? -q : q;  // at most 324 for a double: three digits suffice
  number += static_cast<char>('0' + a / 100);
  number += static_cast<char>('0' + a / 10 % 10);
  number += static_cast<char>('0' + a % 10);
  return right_justify_never_cut(number, kRealColumns);
}

// Lays the items of one write statement into records of at most
// kRecordColumns each.
class RecordBuilder {
 public:
  void add_number(const std::string& field) {
    if (room() < static_cast<int>(field.size())) end_record();
    current_ += field;
    last_was_number_ = true;
  }

  void add_text(std::string_view text) {
    const int n = static_cast<int>(text.size());
    const int room0 = room();
    if (owes_blank() && n <= room0) {
      current_ += ' ';
    } else if (last_was_number_ && room() > 0) {
      current_ += ' ';  // separates the string from the number before it
    }
    if (n > room0 && !current_.empty()) end_record();
    // A record that owes its blank has one column less for the bytes, so a
    // string runs on over records of a blank and 79 bytes each.
    while (static_cast<int>(text.size()) > room() - (owes_blank() ? 1 : 0)) {
      if (owes_blank()) current_ += ' ';
      std::size_t part = static_cast<std::size_t>(room());
      current_.append(text.substr(0, part));
      text.remove_prefix(part);
      end_record();
    }
    if (owes_blank()) current_ += ' ';
    current_.append(text);
    last_was_number_ = false;
  }

  std::vector<std::string> finish() {
    if (current_.empty()) current_ += ' ';
    end_record();
    return std::move(records_);
  }

 private:
  int room() const { return kRecordColumns - static_cast<int>(current_.size()); }
  // Only an empty record still owes its leading blank: the first item of a
  // record always gives it one (a string) or begins with blanks (a number).
  bool owes_blank() const { return current_.empty(); }

  void end_record() {
    records_.push_back(std::move(current_));
    current_.clear();
    last_was_number_ = false;
  }

  std::vector<std::string> records_;
  std::string current_;
  bool last_was_number_ = false;
};

// ---- Reading ----

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool ends_value(char c) { return is_blank(c) || c == ',' || c == '/'; }

// Copies the digits at `text[pos]` onward to `out`; returns how many there were.
std::size_t take_digits(std::string_view text, std::size_t& pos, char*& out) {
  std::size_t start = pos;
  while (pos < text.size() && is_digit(text[pos])) *out++ = text[pos++];
  return pos - start;
}

// Rewrites a list-directed real value, [sign] digits [. digits] [exponent]
// where the exponent is E, D or Q (either case) with an optional sign and
// digits, or a sign directly followed by digits, into the form that
// to_double takes, at `out` (room for text.size() + 1 characters). Returns
// the length written, or -1 if the characters cannot form a number.
std::ptrdiff_t normalize_real(std::string_view text, char* const out) {
  char* o = out;
  std::size_t pos = 0;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) *o++ = text[pos++];
  std::size_t mantissa_digits = take_digits(text, pos, o);
  if (pos < text.size() && text[pos] == '.') {
    *o++ = text[pos++];
    mantissa_digits += take_digits(text, pos, o);
  }
  if (mantissa_digits == 0) return -1;
  if (pos == text.size()) return o - out;
  char c = text[pos];
  bool letter = is_exponent_letter(c);
  if (letter) ++pos;
  if (!letter && c != '+' && c != '-') return -1;
  *o++ = 'e';
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) *o++ = text[pos++];
  if (take_digits(text, pos, o) == 0) return -1;
  return pos == text.size() ? o - out : -1;
}

// The values of one read statement, taken one by one from the unit's records.
class ValueScanner {
 public:
  enum class Next { value, null_value, slash, end_of_file };

  explicit ValueScanner(Unit& unit) : unit_(unit) {}

  // Finds the next value, reading further records as needed. For a value,
  // `token` receives its characters (repeat count included).
  Next next(std::string_view& token) {
    for (;;) {
      if (!have_record_ || pos_ == record_.size()) {
        if (!unit_.read_record(record_)) return Next::end_of_file;
        have_record_ = true;
        pos_ = 0;
        continue;  // the end of a record acts as white space
      }
      char c = record_[pos_];
      if (is_blank(c)) {
        ++pos_;
      } else if (c == '/') {
        return Next::slash;
      } else if (c == ',') {
        ++pos_;
        // A comma that follows a value is its separator; any other comma ends
        // a null value.
        if (after_value_) {
          after_value_ = false;
        } else {
          return Next::null_value;
        }
      } else {
        std::size_t start = pos_;
        while (pos_ < record_.size() && !ends_value(record_[pos_])) ++pos_;
        token = record_.substr(start, pos_ - start);
        after_value_ = true;
        return Next::value;
      }
    }
  }

 private:
  Unit& unit_;
  std::string_view record_;
  std::size_t pos_ = 0;
  bool have_record_ = false;
  bool after_value_ = false;
};

[[noreturn]] void read_failure(const Unit& unit, int message) {
  diagnostics::issue_severe(message, {unit.number(), unit.file_name().c_str()});
}

// One value (r*c, r* or c) of a list-directed read.
struct ListValue {
  long long repeat = 1;
  bool null = false;
  double value = 0.0;
};

// Parses `token` into `v`. Returns 0, or the message a read ends the run
// with: 59 (the characters cannot form a number) or 64 (the number is
// beyond the doubles).
int parse_value(std::string_view token, ListValue& v) {
  std::size_t star = token.find('*');
  if (star != std::string_view::npos) {
    std::string_view count = token.substr(0, star);
    if (count.empty()) return diagnostics::kListDirectedSyntax;
    for (char c : count) {
      if (!is_digit(c)) return diagnostics::kListDirectedSyntax;
    }
    auto result = std::from_chars(count.data(), count.data() + count.size(), v.repeat);
    if (result.ec == std::errc::result_out_of_range) v.repeat = std::numeric_limits<long long>::max();
    if (v.repeat == 0) return diagnostics::kListDirectedSyntax;
    token.remove_prefix(star + 1);
    if (token.empty()) {
      v.null = true;
      return 0;
    }
  }
  if (read_number_fast(token, 0, v.value)) return 0;
  NumberText text(token.size() + 1);
  const std::ptrdiff_t length = normalize_real(token, text.data());
  if (length < 0) return diagnostics::kListDirectedSyntax;
  if (to_double(std::string_view(text.data(), static_cast<std::size_t>(length)), v.value) !=
      Conversion::ok) {
    return diagnostics::kInputConversion;
  }
  return 0;
}

// Parses `token` into a value, or ends the run with message 59 or 64.
ListValue parse_value(const Unit& unit, std::string_view token) {
  ListValue v;
  if (const int message = parse_value(token, v); message != 0) read_failure(unit, message);
  return v;
}

}  // namespace

std::string render_integer(std::int32_t value) {
  char text[16];
  auto result = std::to_chars(text, text + sizeof text, value);
  return right_justify_never_cut(std::string_view(text, result.ptr - text), kIntegerColumns);
}

std::string render_real(double value) {
  if (std::isnan(value)) return right_justify_never_cut("NaN", kRealColumns);
  if (std::isinf(value)) {
    return right_justify_never_cut(value < 0 ? "-Infinity" : "Infinity", kRealColumns);
  }
  if (value == 0.0) return "  0.000000000000000E+000";  // either sign
  bool negative = std::signbit(value);
  double magnitude = std::fabs(value);
  // The 15-digit rounding decides the form, even when it crosses a power of ten.
  RoundedDecimal r = round_significant(magnitude, kFixedDigits);
  if (r.exponent >= 0 && r.exponent <= kFixedDigits) return fixed_form(negative, r);
  return exponent_form(negative, magnitude);
}

std::vector<std::string> render_list(std::initializer_list<Item> items) {
  RecordBuilder builder;
  for (const Item& item : items) {
    switch (item.kind()) {
      case Item::Kind::character: builder.add_text(item.text()); break;
      case Item::Kind::integer: builder.add_number(render_integer(item.integer())); break;
      case Item::Kind::real: builder.add_number(render_real(item.real())); break;
      case Item::Kind::real_array:
        for (double x : item.reals()) builder.add_number(render_real(x));
        break;
    }
  }
  return builder.finish();
}

void write_list(Unit& unit, std::initializer_list<Item> items) {
  unit.write_records(render_list(items));
}

ReadOutcome read_list(Unit& unit, std::span<double* const> destinations) {
  if (destinations.empty()) {
    std::string_view record;
    return unit.read_record(record) ? ReadOutcome::complete : ReadOutcome::end_of_file;
  }
  ValueScanner scanner(unit);
  std::size_t filled = 0;  // destinations dealt with, null values included
  while (filled < destinations.size()) {
    std::string_view token;
    switch (scanner.next(token)) {
      case ValueScanner::Next::end_of_file: return ReadOutcome::end_of_file;
      case ValueScanner::Next::slash: return ReadOutcome::complete;
      case ValueScanner::Next::null_value: ++filled; break;
      case ValueScanner::Next::value: {
        ListValue v = parse_value(unit, token);
        // Copies beyond the last destination are dropped.
        for (long long i = 0; i < v.repeat && filled < destinations.size(); ++i, ++filled) {
          if (!v.null) *destinations[filled] = v.value;
        }
        break;
      }
    }
  }
  return ReadOutcome::complete;
}

ValueFault find_value_fault(std::string_view record, long long& wanted) {
  // The scan of ValueScanner over one record: blanks skip, a comma after a
  // value separates, any other comma is a null value, a slash ends the list.
  bool after_value = false;
  std::size_t pos = 0;
  while (pos < record.size() && wanted > 0) {
    const char c = record[pos];
    if (is_blank(c)) {
      ++pos;
    } else if (c == '/') {
      wanted = 0;
    } else if (c == ',') {
      ++pos;
      if (!after_value) --wanted;
      after_value = false;
    } else {
      const std::size_t start = pos;
      while (pos < record.size() && !ends_value(record[pos])) ++pos;
      ListValue v;
      if (const int message = parse_value(record.substr(start, pos - start), v); message != 0) {
        return {message, static_cast<int>(start) + 1, static_cast<int>(pos)};
      }
      wanted = v.repeat >= wanted ? 0 : wanted - v.repeat;
      after_value = true;
    }
  }
  return {};
}

void require_complete(const Unit& unit, ReadOutcome outcome) {
  if (outcome == ReadOutcome::end_of_file) read_failure(unit, diagnostics::kEndOfFile);
}

}  // namespace textio
