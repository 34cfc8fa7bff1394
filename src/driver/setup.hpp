// The run's set-up: the start values and FACTOR, the input paths, and KP and K
// from the species table and the tag rules (all in src/config).
#pragma once

#include "driver/main_program.hpp"

namespace driver {

// The start values and FACTOR formed from CSTR.
void set_start_values(MainVariables& v, const StartValues& start);

// KP and K of the run data from the species table and the tag rules; for the
// ideal variant also the names of its two input files.
void choose_rate_constants(MainVariables& v);

// The set-up: start values, FACTOR, the three input paths, KP and K from the
// species table and the tag rules; prints the first five statements.
void run_setup(MainVariables& v, const StartValues& start);

}  // namespace driver
