// Formatted records: the layout of every field is fixed by one of the
// program's five formats, interpreted by one format-control routine. Only real
// items travel through formatted records.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "textio/list_directed.hpp"
#include "textio/number_text.hpp"
#include "textio/unit.hpp"

namespace textio {

// One edit descriptor: an E field of `width` columns and `digits` digits after
// the point, or a move of `width` columns to the right (nX).
struct EditDescriptor {
  enum class Kind { e_field, skip };
  Kind kind;
  int width;
  int digits;
};

// A format: a list of descriptors, optionally one top-level group repeated
// `group_repeat` times; the group, when there is one, encloses the whole list.
// The program's formats have at most one level of group.
struct Format {
  Format(std::vector<EditDescriptor> list, int repeat);

  std::vector<EditDescriptor> descriptors;
  int group_repeat;  // 0 when the format has no group
  // Only E fields of one width and number of digits, and no group: a
  // statement of at most descriptors.size() items takes its fields side by
  // side from one record, each read as `written` reads it where it can.
  bool one_kind_of_field;
  EOutputField written;
};

extern const Format FMT1;  // (8(1X,E10.3))
extern const Format FMT2;  // (8(1X,E10.3))
extern const Format FMT3;  // (20E13.5)
extern const Format FMT4;  // (2E13.5)
extern const Format FMT5;  // (2E24.14)

// The Ew.d rendering of `value`: exactly `width` columns.
std::string render_e(double value, int width, int digits);

enum class FieldStatus { ok, failure };

// The Ew.d reader without its fast path: every field through the exact
// conversion of its whole text. Leaves `value` alone on failure.
FieldStatus parse_e_field_exact(std::string_view field, int digits, double& value);

// Reads one Ew.d input field (blanks already part of `field`; columns past
// the record's end count as blanks and may simply be absent). Leaves `value`
// alone on failure. Bit for bit what parse_e_field_exact gives, for every
// field; tests hold the two to each other.
inline FieldStatus parse_e_field(std::string_view field, int digits, double& value) {
  if (EOutputField(static_cast<int>(field.size()), digits).read(field, value) ||
      read_number_fast(field, digits, value)) {
    return FieldStatus::ok;
  }
  return parse_e_field_exact(field, digits, value);
}

// The records (without line ends) that one formatted write of `items` makes.
std::vector<std::string> render_formatted(const Format& format, std::span<const double> items);

// One formatted write statement on `unit`.
void write_formatted(Unit& unit, const Format& format, std::span<const double> items);

// One formatted read statement: fills `destinations` from the unit's next
// record (and more records if the format runs out). A field that cannot be
// converted ends the run with message 64.
ReadOutcome read_formatted(Unit& unit, const Format& format, std::span<double* const> destinations);

}  // namespace textio
