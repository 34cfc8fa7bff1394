// The characters of a number as the readers take it, shared by the formatted
// and the list-directed reads so that both accept the same numbers, and the
// fast paths that read the common ones: any number of up to 19 significant
// digits in one pass, and an E field in the very form the E descriptor
// writes at fixed columns.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "textio/decimal.hpp"

namespace textio {

// A decimal digit. Takes an int so that a reader's end-of-field marker (-1)
// and chars above 127 are simply not digits.
constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }

// A letter that introduces an exponent: E, D or Q, in either case.
constexpr bool is_exponent_letter(int c) {
  return c == 'E' || c == 'e' || c == 'D' || c == 'd' || c == 'Q' || c == 'q';
}

// Reads a number of the common kind in one pass, without building any text:
// [sign] digits [. digits] [exponent], blanks ignored, where the exponent is
// E, D or Q (either case) with an optional sign and digits, or a sign and
// digits; without a point the last `implied` digits are the fraction. Sets
// `value` and returns true when the number has at most 19 significant digits
// and nearest_double_fast can give its value; returns false, leaving `value`
// alone, for anything else, valid or not: the caller's exact reader decides
// those, and only it reports failures.
bool read_number_fast(std::string_view text, int implied, double& value);

// Reads Ew.d fields written in the very form the E edit descriptor gives:
// all w columns present, blanks, a sign or one more blank, "0.", the d
// digits, then "E", a sign and two digits, as in "  0.13690E+01" (E13.5)
// or " -0.13690E-01". Nearly every field the program reads has this form,
// and it is read at fixed columns with a few loads and compares.
class EOutputField {
 public:
  // Usable for d of 1 ... 16 (two words of digits) and w of at least d + 7,
  // with at most 8 blanks before the sign and every word read inside the
  // field: w >= 12, or 20 for d > 8.
  constexpr EOutputField(int width, int digits)
      : width_(static_cast<std::size_t>(width > 0 ? width : 0)),
        digits_(digits),
        usable_(digits >= 1 && digits <= 16 && width >= digits + 7 && width - digits - 7 <= 8 &&
                width >= (digits > 8 ? 20 : 12)) {
    if (!usable_) return;
    blanks_ = leading_bytes(width - digits - 7);
    low_digits_ = ~leading_bytes(8 - (digits > 8 ? 8 : digits));
    high_digits_ = digits > 8 ? ~leading_bytes(16 - digits) : 0;
    for (int i = 0; i < (digits > 8 ? 8 : digits); ++i) low_scale_ *= 10;
  }

  // Sets `value` and returns true when the field has the form and
  // nearest_double_fast can give its value; returns false, leaving `value`
  // alone, for anything else, valid or not (a field cut short by the end of
  // its record has fewer than w columns and is not of the form).
  bool read(std::string_view field, double& value) const;
  std::size_t width() const { return width_; }

  // Reads destinations.size() fields of this form side by side from the
  // first column of `record`. Returns how many were read before the first
  // that is not of the form or not wholly inside the record. Each value is
  // the exact reader's: read()'s, or for a field of the form whose value
  // the fast conversion cannot give, the exact conversion of its text.
  std::size_t read_row(std::string_view record, std::span<double* const> destinations) const;

 private:
  // The first n (0 ... 8) bytes of a word.
  static constexpr std::uint64_t leading_bytes(int n) {
    return n >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * n)) - 1;
  }

  std::size_t width_;
  int digits_;
  bool usable_;
  // The words read are the first eight columns, whose bytes in blanks_ must
  // be blanks, and the eight (or sixteen) before the exponent, whose bytes in
  // low_digits_ (and high_digits_) are the digits.
  std::uint64_t blanks_ = 0;
  std::uint64_t low_digits_ = 0;
  std::uint64_t high_digits_ = 0;
  std::uint64_t low_scale_ = 1;  // 10 to the number of low digits
};

// Room for the text of one number: on the stack for any field or value of
// ordinary length, on the heap only beyond that.
class NumberText {
 public:
  explicit NumberText(std::size_t capacity) {
    if (capacity > sizeof local_) heap_.resize(capacity);
  }
  char* data() { return heap_.empty() ? local_ : heap_.data(); }

 private:
  char local_[64];
  std::string heap_;
};

namespace number_text_detail {

static_assert(std::endian::native == std::endian::little,
              "the digit words take the first character as the lowest byte");

constexpr std::uint64_t kEveryByte = 0x0101010101010101;

// Whether the bytes in `taken` of the eight characters at p (the first in
// the lowest byte, `taken` the top bytes of the word) are all digits; if so,
// sets `digits` to their value. The bytes below are set to '0' first, so
// that subtracting '0' from every byte leaves 0 ... 9 in a digit byte, zero
// below, and borrows nothing into a digit. The lowest byte that is no digit
// then has its top bit set, either at once (below '0') or after adding 0x76
// (above '9'); a borrow or carry out of it garbles only bytes above it,
// which no longer matter.
inline bool digit_word(const char* p, std::uint64_t taken, std::uint64_t& digits) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  std::uint64_t x = ((word & taken) | ('0' * kEveryByte & ~taken)) - '0' * kEveryByte;
  if (((x | (x + 0x76 * kEveryByte)) & (0x80 * kEveryByte)) != 0) return false;
  // Neighbouring digits, then pairs, then quadruples, the earlier the higher.
  x = (x * 10 + (x >> 8)) & 0x00FF00FF00FF00FF;
  x = (x * 100 + (x >> 16)) & 0x0000FFFF0000FFFF;
  digits = (x * 10000 + (x >> 32)) & 0xFFFFFFFF;
  return true;
}

}  // namespace number_text_detail

// Always inlined: it is the one call per field of the readers' loops, and
// the compiler would otherwise keep it out of line for its size.
[[gnu::always_inline]] inline bool EOutputField::read(std::string_view field,
                                                      double& value) const {
  using number_text_detail::digit_word;
  using number_text_detail::kEveryByte;
  if (!usable_ || field.size() != width_) return false;
  const char* const first = field.data();
  const char* const e = first + width_ - 4;  // "E+01"
  const char* const zero = e - digits_ - 2;  // "0." and the digits
  const char sign = zero[-1];
  const unsigned e1 = static_cast<unsigned char>(e[2]) - unsigned{'0'};
  const unsigned e2 = static_cast<unsigned char>(e[3]) - unsigned{'0'};
  if (e[0] != 'E' || (e[1] != '+' && e[1] != '-') || e1 > 9 || e2 > 9 || zero[0] != '0' ||
      zero[1] != '.' || (sign != ' ' && sign != '-' && sign != '+')) {
    return false;
  }
  std::uint64_t leading;
  std::memcpy(&leading, first, 8);
  if (((leading ^ (' ' * kEveryByte)) & blanks_) != 0) return false;

  std::uint64_t high = 0, low = 0;
  if (high_digits_ != 0 && !digit_word(e - 16, high_digits_, high)) return false;
  if (!digit_word(e - 8, low_digits_, low)) return false;
  const std::uint64_t mantissa = high * low_scale_ + low;
  const long long exponent = static_cast<long long>(e1 * 10 + e2);
  double magnitude = 0.0;
  if (!nearest_double_fast(mantissa, (e[1] == '-' ? -exponent : exponent) - digits_,
                           magnitude)) {
    return false;
  }
  value = sign == '-' ? -magnitude : magnitude;
  return true;
}

}  // namespace textio
