// The main program: set-up, readers, fitting problem and report, run once.
#pragma once

#include <string_view>

#include "config/config.hpp"
#include "diagnostics/checked.hpp"
#include "driver/run_observer.hpp"
#include "textio/fixed_text.hpp"

namespace driver {

// The start values that fix a run's configuration; built into the binary.
struct StartValues {
  std::string_view species;
  std::string_view nox;
  std::string_view tag;
};

// The main program's own variables; they keep their values for the whole run.
struct MainVariables {
  textio::FixedText<config::kSpeciesLength> SPECIES;
  textio::FixedText<config::kScenarioLength> NOX;
  textio::FixedText<config::kTagLength> TAG;
  diagnostics::FixedVector<double, config::kBins> CSTR{"CSTR"};
  diagnostics::FixedVector<double, config::kBins> FACTOR{"FACTOR"};
  textio::FixedText<config::kPathLength> FILEW;
  textio::FixedText<config::kPathLength> FILES;
  textio::FixedText<config::kPathLength> FILEP;
  textio::FixedText<config::kPathLength> OUTFILE;
};

// The start values and FACTOR formed from CSTR.
void set_start_values(MainVariables& v, const StartValues& start);

// KP and K of the run data from the species table and the tag rules; for the
// ideal variant also the names of its two input files.
void choose_rate_constants(MainVariables& v);

// The set-up: start values, FACTOR, the three input paths, KP and K from the
// species table and the tag rules; prints the first five statements.
void run_setup(MainVariables& v, const StartValues& start);

// The readers: fill TIME, PRECURSOR, YKELPO and WMOL from the input files of
// the layout that SPECIES selects.
void run_readers(const MainVariables& v);

// The whole run; ends through a stop or a severe diagnostic, never returns.
// An observer, when given, is called at the fixed points RunObserver names.
[[noreturn]] void main_program(const StartValues& start, RunObserver* observer = nullptr);

}  // namespace driver
