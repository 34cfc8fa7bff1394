// List-directed records: the layout follows from the kinds of the items. On
// output every integer takes 12 columns, every real 24, a character item its
// own bytes, and records hold at most 80 columns; on input values are free
// form, separated by blanks, tabs or commas, and may run over records.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "textio/unit.hpp"

namespace textio {

constexpr int kRecordColumns = 80;  // list-directed output records never exceed this

// One item of a list-directed write. An array item stands for its elements in
// storage order, each written as one real item.
class Item {
 public:
  enum class Kind { character, integer, real, real_array };
  Item(std::string_view text) : kind_(Kind::character), text_(text) {}
  Item(const char* text) : kind_(Kind::character), text_(text) {}
  Item(std::int32_t value) : kind_(Kind::integer), integer_(value) {}
  Item(double value) : kind_(Kind::real), real_(value) {}
  Item(std::span<const double> values) : kind_(Kind::real_array), reals_(values) {}

  Kind kind() const { return kind_; }
  std::string_view text() const { return text_; }
  std::int32_t integer() const { return integer_; }
  double real() const { return real_; }
  std::span<const double> reals() const { return reals_; }

 private:
  Kind kind_;
  std::string_view text_;
  std::int32_t integer_ = 0;
  double real_ = 0.0;
  std::span<const double> reals_;
};

// The 12-column rendering of an integer and the 24-column rendering of a real.
std::string render_integer(std::int32_t value);
std::string render_real(double value);

// The records (without line ends) that one write statement of `items` makes.
std::vector<std::string> render_list(std::initializer_list<Item> items);

// One list-directed write statement on `unit`.
void write_list(Unit& unit, std::initializer_list<Item> items);

enum class ReadOutcome {
  complete,     // every destination has been dealt with (or a slash ended the list)
  end_of_file,  // the file ended first; destinations filled so far keep their values
};

// One list-directed read statement: fills `destinations` in order from the
// unit's next record onward, leaving the rest of the last record used unread.
// With no destinations it reads and discards one record. A value that cannot
// form a number ends the run with message 59, any other conversion failure
// with 64.
ReadOutcome read_list(Unit& unit, std::span<double* const> destinations);

// A value that a list-directed read cannot convert: the message it ends the
// run with (59 or 64; 0 for none) and the value's columns, from 1.
struct ValueFault {
  int message = 0;
  int first_column = 0;
  int last_column = 0;
};
// Scans `record` as a read statement that still wants `wanted` values
// would: returns the first value it cannot convert, and takes from `wanted`
// the values (and null values) the record supplies; a slash sets it to 0.
// Values after the last one wanted are never looked at, as a read skips
// them. For telling where a read failed, after the run has ended.
ValueFault find_value_fault(std::string_view record, long long& wanted);

// For a read without an end-of-file branch: end of file ends the run with
// message 24 for this unit.
void require_complete(const Unit& unit, ReadOutcome outcome);

}  // namespace textio
