// The simulation output readers: the input files of the run's layout into the
// run data.
#pragma once

#include <string_view>

#include "driver/main_program.hpp"

namespace driver {

// Fills TIME, PRECURSOR, YKELPO and WMOL from the input files of the layout
// that SPECIES selects; their paths are relative to `directory` when one is
// given, else to the working directory.
void run_readers(const MainVariables& v, std::string_view directory = {});

}  // namespace driver
