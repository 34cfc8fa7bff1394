#include "driver/main_program.hpp"

#include "config/config.hpp"
#include "declare/declare.hpp"
#include "diagnostics/diagnostic.hpp"
#include "diagnostics/float_mode.hpp"
#include "diagnostics/termination.hpp"
#include "driver/fitting.hpp"
#include "driver/readers.hpp"
#include "driver/report.hpp"
#include "driver/setup.hpp"

namespace driver {

// The run data is declared for what a configuration has.
static_assert(declare::kRecords == config::kRecords && declare::kIntervals == config::kIntervals &&
              declare::kBins == config::kBins && declare::kCoefficients == config::kCoefficients);

void run_fit(MainVariables& v, RunObserver* observer, textio::Unit* results) {
  build_problem();
  check_problem();
  if (observer != nullptr) observer->problem_ready();
  open_report(v, results);
  for (int r = 1; r <= config::kBins; ++r) {  // one solve per target bin
    solve(r, observer);
    if (observer != nullptr) observer->reported(r);
    report_solve(r);
  }
  close_report();
}

void main_program(const StartValues& start, RunObserver* observer) {
  diagnostics::set_float_mode();
  diagnostics::RoutineScope scope("vbsfit");
  static MainVariables v;
  run_setup(v, start);
  run_readers(v);
  run_fit(v, observer);
  if (observer != nullptr) observer->finished();
  diagnostics::stop_run();
}

}  // namespace driver
