// A species table file: the rows of species that the built-in table lacks
// (or that a study gives other constants), in the form --list-species
// prints the built-in table, so that the one is where the other starts:
//
//   species,kp,multiplier,multiplier6,layout
//   OLE2_OH,0.0001412,4e-05,4e-05,standard
//
// Blank lines and lines whose first non-blank character is '#' are skipped;
// the first other line is the header. Each row is a species name, KP, the
// multiplier of K(1 ... 5), the multiplier of K(6) and, optionally, the
// layout (standard, the default, or ideal). The numbers are read as single-
// precision numbers, as the built-in table holds them, so a row that copies
// a built-in one gives that species' rate constants to the last bit.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"

namespace config {

inline constexpr std::string_view kSpeciesFileHeader = "species,kp,multiplier,multiplier6,layout";

// One row of a species table file; `line` is where it stands (from 1).
struct SpeciesFileRow {
  std::string name;
  float kp = 0.0f;
  float multiplier = 0.0f;
  float multiplier6 = 0.0f;
  bool ideal = false;
  int line = 0;
};

// Reads the rows of a species table file whose text is `text`; `file`
// names it in messages. Returns the refusal ("FILE line N: why") or empty
// with `rows` filled in file order. A row is refused for a missing or extra
// field, a name that cannot be a species, a number that is not one, is
// negative, is beyond single precision or is nonzero below its normal range
// (FLT_MIN), an unknown layout, or a name that an earlier row has.
std::string parse_species_file(std::string_view text, std::string_view file,
                               std::vector<SpeciesFileRow>& rows);

// The table `rows` in the file's form: a comment, the header, one line per
// row, numbers in the shortest text that reads back to the same single-
// precision number.
std::string species_file_text(std::span<const SpeciesRow> rows);

}  // namespace config
