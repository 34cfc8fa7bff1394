// The characters of a number as the readers take it, shared by the formatted
// and the list-directed reads so that both accept the same numbers.
#pragma once

namespace textio {

// A decimal digit. Takes an int so that a reader's end-of-field marker (-1)
// and chars above 127 are simply not digits.
constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }

// A letter that introduces an exponent: E, D or Q, in either case.
constexpr bool is_exponent_letter(int c) {
  return c == 'E' || c == 'e' || c == 'D' || c == 'd' || c == 'Q' || c == 'q';
}

}  // namespace textio
