// Reference rules for reading records, written apart from the text layer and
// as plainly as possible: records split at line feeds, list-directed values
// and E fields checked against their grammar character by character, and
// the C library's strtod (exact in glibc for any number of digits) as the
// conversion. The fuzz targets hold the program's reads to these.
#pragma once

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace reference {

// A record is everything up to a line feed, less one carriage return before
// it; a last line without a line feed is a record too.
inline std::vector<std::string> records_of(const std::string& text) {
  std::vector<std::string> records;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t lf = text.find('\n', at);
    if (lf == std::string::npos) {
      records.push_back(text.substr(at));
      break;
    }
    std::size_t end = lf > at && text[lf - 1] == '\r' ? lf - 1 : lf;
    records.push_back(text.substr(at, end - at));
    at = lf + 1;
  }
  return records;
}

// The outcome of a read: complete, end of file, or the run ended with a
// message number.
struct Outcome {
  enum Kind { complete, end_of_file, ended } kind = complete;
  int message = 0;
  bool operator==(const Outcome&) const = default;
};

inline bool digit(char c) { return c >= '0' && c <= '9'; }

// strtod of a text already checked to be [sign] digits[.digits] [e[sign]digits]:
// nullopt when the magnitude is beyond the largest double.
inline std::optional<double> convert(const std::string& text) {
  errno = 0;
  double value = std::strtod(text.c_str(), nullptr);
  if (errno == ERANGE && std::isinf(value)) return std::nullopt;
  return value;
}

// A list-directed real: [sign] digits [. digits] (a digit somewhere), then
// nothing, or E/D/Q (either case) [sign] digits, or sign digits. Returns the
// message number of a failure (59 for bad characters, 64 for a value beyond
// the doubles) or 0 with `value` set.
inline int list_real(const std::string& token, double& value) {
  std::size_t p = 0;
  std::string text;
  if (p < token.size() && (token[p] == '+' || token[p] == '-')) text += token[p++];
  int digits = 0;
  while (p < token.size() && digit(token[p])) text += token[p++], ++digits;
  if (p < token.size() && token[p] == '.') {
    text += token[p++];
    while (p < token.size() && digit(token[p])) text += token[p++], ++digits;
  }
  if (digits == 0) return 59;
  if (p < token.size()) {
    const std::string letters = "EeDdQq";
    if (letters.find(token[p]) != std::string::npos) {
      ++p;
    } else if (token[p] != '+' && token[p] != '-') {
      return 59;
    }
    text += 'e';
    if (p < token.size() && (token[p] == '+' || token[p] == '-')) text += token[p++];
    int exponent_digits = 0;
    while (p < token.size() && digit(token[p])) text += token[p++], ++exponent_digits;
    if (exponent_digits == 0 || p != token.size()) return 59;
  }
  std::optional<double> v = convert(text);
  if (!v) return 64;
  value = *v;
  return 0;
}

// Where a unit stands in its records.
struct Reader {
  std::vector<std::string> records;
  std::size_t next = 0;
};

// One list-directed read statement into `values` (nullopt where the statement
// gives no value).
inline Outcome read_list(Reader& in, std::vector<std::optional<double>>& values) {
  if (values.empty()) {
    if (in.next == in.records.size()) return {Outcome::end_of_file, 0};
    ++in.next;
    return {};
  }
  const std::string* record = nullptr;
  std::size_t pos = 0;
  bool after_value = false;
  std::size_t filled = 0;
  while (filled < values.size()) {
    if (record == nullptr || pos == record->size()) {
      if (in.next == in.records.size()) return {Outcome::end_of_file, 0};
      record = &in.records[in.next++];
      pos = 0;
      continue;
    }
    const char c = (*record)[pos];
    if (c == ' ' || c == '\t') {
      ++pos;
    } else if (c == '/') {
      return {};
    } else if (c == ',') {
      ++pos;
      if (after_value) {
        after_value = false;
      } else {
        ++filled;  // a null value
      }
    } else {
      std::size_t end = record->find_first_of(" \t,/", pos);
      if (end == std::string::npos) end = record->size();
      std::string token = record->substr(pos, end - pos);
      pos = end;
      after_value = true;
      long long repeat = 1;
      std::size_t star = token.find('*');
      if (star != std::string::npos) {
        std::string count = token.substr(0, star);
        if (count.empty()) return {Outcome::ended, 59};
        repeat = 0;
        for (char d : count) {
          if (!digit(d)) return {Outcome::ended, 59};
          repeat = repeat > (LLONG_MAX - 9) / 10 ? LLONG_MAX : repeat * 10 + (d - '0');
        }
        if (repeat == 0) return {Outcome::ended, 59};
        token = token.substr(star + 1);
        if (token.empty()) {
          filled += static_cast<std::size_t>(
              std::min<long long>(repeat, static_cast<long long>(values.size() - filled)));
          continue;
        }
      }
      double value = 0.0;
      if (int message = list_real(token, value); message != 0) return {Outcome::ended, message};
      for (long long k = 0; k < repeat && filled < values.size(); ++k) values[filled++] = value;
    }
  }
  return {};
}

// An Ew.d input field: blanks (only blanks) ignored anywhere, all blanks zero;
// otherwise [sign] digits [. digits], then nothing, or E/D/Q [sign] digits, or
// sign digits. Without a point the last d digits are the fraction. False for
// any other content or a value beyond the doubles.
inline bool e_field(const std::string& field, int d, double& value) {
  std::string s;
  for (char c : field) {
    if (c != ' ') s += c;
  }
  if (s.empty()) {
    value = 0.0;
    return true;
  }
  std::size_t p = 0;
  std::string sign;
  if (s[p] == '+' || s[p] == '-') sign = s[p++];
  std::string whole, fraction;
  bool point = false;
  while (p < s.size() && (digit(s[p]) || (s[p] == '.' && !point))) {
    if (s[p] == '.') {
      point = true;
    } else {
      (point ? fraction : whole) += s[p];
    }
    ++p;
  }
  if (whole.empty() && fraction.empty()) return false;
  std::string exponent;
  if (p < s.size()) {
    const std::string letters = "EeDdQq";
    if (letters.find(s[p]) != std::string::npos) {
      ++p;
    } else if (s[p] != '+' && s[p] != '-') {
      return false;
    }
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) exponent += s[p++];
    std::size_t first_digit = p;
    while (p < s.size() && digit(s[p])) exponent += s[p++];
    if (p == first_digit || p != s.size()) return false;
  }
  std::string text;
  if (point) {
    text = sign + whole + "." + fraction;
  } else if (whole.size() >= static_cast<std::size_t>(d)) {
    text = sign + whole.substr(0, whole.size() - d) + "." + whole.substr(whole.size() - d);
  } else {
    text = sign + "." + std::string(d - whole.size(), '0') + whole;
  }
  if (!exponent.empty()) text += "e" + exponent;
  std::optional<double> v = convert(text);
  if (!v) return false;
  value = *v;
  return true;
}

// One formatted read of `values.size()` E fields of width w and d digits from
// the next record (the program's formats never run out of fields). A field
// ends early at a comma; columns past the record's end are blanks.
inline Outcome read_formatted(Reader& in, int w, int d, std::vector<std::optional<double>>& values) {
  if (in.next == in.records.size()) return {Outcome::end_of_file, 0};
  const std::string& record = in.records[in.next++];
  std::size_t pos = 0;
  for (auto& slot : values) {
    std::size_t start = std::min(pos, record.size());
    std::size_t end = std::min(pos + static_cast<std::size_t>(w), record.size());
    std::string field = record.substr(start, end - start);
    std::size_t comma = field.find(',');
    if (comma != std::string::npos) {
      field.resize(comma);
      pos = start + comma + 1;
    } else {
      pos += static_cast<std::size_t>(w);
    }
    double value = 0.0;
    if (!e_field(field, d, value)) return {Outcome::ended, 64};
    slot = value;
  }
  return {};
}

}  // namespace reference
