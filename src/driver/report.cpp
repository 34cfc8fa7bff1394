#include "driver/report.hpp"

#include <array>
#include <span>

#include "config/config.hpp"
#include "declare/declare.hpp"
#include "diagnostics/signals.hpp"
#include "textio/formatted.hpp"
#include "textio/list_directed.hpp"

namespace driver {
namespace {

constexpr int kResultsUnit = 11;
// Open from open_report to close_report, on the thread whose run it reports.
thread_local constinit textio::Unit* t_results = nullptr;
thread_local constinit bool t_results_in_file = false;

std::span<const double> alpha() {
  return std::span<const double>(declare::ALPHA.data(), declare::kCoefficients);
}

}  // namespace

void open_report(MainVariables& v, textio::Unit* results) {
  textio::Unit& out = textio::standard_output();
  textio::write_list(out, {"TAG ", v.TAG.view()});
  v.OUTFILE = config::results_path(v.SPECIES.view(), v.NOX.view(), v.TAG.view());
  t_results_in_file = results == nullptr;
  t_results = t_results_in_file ? &textio::open_unit(kResultsUnit, v.OUTFILE.view(),
                                                     textio::OpenStatus::new_file)
                                : results;
  // The results file getting its name is the run's success: a termination
  // signal after that point waits, and the run completes with status 0.
  if (t_results_in_file) t_results->before_naming(diagnostics::hold_endings_after_success);
  textio::write_list(out, {"RESULTS =====> FITTED COEFS"});
  textio::write_list(out, {config::kResultsTitle});
  textio::write_list(out, {"a01   a11    a21     a31    a41    a51     a61       "});
  textio::write_list(out, {"a02   a12    a22     a32    a42    a52     a62       "});
  textio::write_list(*t_results, {config::kResultsTitle});
  textio::write_list(*t_results, {config::kResultsColumns});
}

void report_solve(int r) {
  textio::Unit& out = textio::standard_output();
  textio::write_list(out, {"coefs for species nb. ", static_cast<std::int32_t>(r)});
  textio::write_formatted(out, textio::FMT2, alpha());
  textio::write_formatted(*t_results, textio::FMT2, alpha());
}

void close_report() {
  // A zero in the precursor's column, then the mean molar mass of each bin.
  std::array<double, declare::kCoefficients> record{};
  for (int j = 1; j <= declare::kBins; ++j) record[j] = declare::AVGWMOL(j);
  textio::write_formatted(*t_results, textio::FMT1, record);
  if (t_results_in_file) textio::close_unit(kResultsUnit);
  t_results = nullptr;
}

}  // namespace driver
