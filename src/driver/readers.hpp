// The simulation output readers: the input files of the run's layout into the
// run data.
#pragma once

#include "driver/main_program.hpp"

namespace driver {

// Fills TIME, PRECURSOR, YKELPO and WMOL from the input files of the layout
// that SPECIES selects.
void run_readers(const MainVariables& v);

}  // namespace driver
