// The characters of a number as the readers take it, shared by the formatted
// and the list-directed reads so that both accept the same numbers, and the
// fast path that reads the common ones.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

}  // namespace textio
