// The main program: set-up, readers, fitting problem and report, run once,
// and the variables of its own that the stages share.
#pragma once

#include <string_view>

#include "config/config.hpp"
#include "diagnostics/checked.hpp"
#include "driver/run_observer.hpp"
#include "textio/fixed_text.hpp"

namespace textio {
class Unit;
}

namespace driver {

// The start values that fix a run's configuration; built into the binary.
struct StartValues {
  std::string_view species;
  std::string_view nox;
  std::string_view tag;
  // The species' constants and layout when the caller has a row of its own
  // for it (vbsfit-batch's --species-table); nullptr: the built-in table.
  const config::SpeciesRow* species_row = nullptr;
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
  const config::SpeciesRow* species_row = nullptr;  // StartValues::species_row
};

// The fit of the run data that set-up and readers (or a caller in memory)
// have filled: the fitting problem, the report and the six solves, the one
// path that the program and the fit in memory both take. `results`: as
// open_report (nullptr: the results file).
void run_fit(MainVariables& v, RunObserver* observer, textio::Unit* results = nullptr);

// The whole run; ends through a stop or a severe diagnostic, never returns.
// An observer, when given, is called at the fixed points RunObserver names.
[[noreturn]] void main_program(const StartValues& start, RunObserver* observer = nullptr);

}  // namespace driver
