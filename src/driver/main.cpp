// Process entry: install the signal handlers and run the main program once.
// The run's configuration is built in; arguments are ignored, except that
// `vbsfit --help` and `vbsfit --version` alone print and exit without
// reading or writing any file.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "diagnostics/signals.hpp"
#include "driver/main_program.hpp"
#include "start_values.hpp"

namespace {

std::string help_text() {
  using namespace driver::start_values;
  return std::string(R"(Usage: vbsfit
Fits a volatility-basis-set model to one box-model simulation and writes the
coefficients. Built for species )") + kSpecies + ", scenario " + kNox + ", tag " + kTag +
         R"(; another configuration
is another build (cmake -DVBSFIT_SPECIES=... -DVBSFIT_NOX=... -DVBSFIT_TAG=...),
or vbsfit-batch, which runs any number of them.

Reads, relative to the working directory:
  ../INPUTS_ODE/5days/SCENARIO_aer.SPECIES/aer.precursor, aer.cdis_all.6 and
  aer.wmol_vbs.6 (the ideal species: aer.precursor.ideal and aer.ideal in the
  working directory), 1441 records each
Writes FITS/fit6_coef.SPECIES.SCENARIO.TAG (FITS must exist; an existing
results file is never overwritten) and the progress on standard output.

Arguments are ignored, apart from these two given alone:
  --help      show this help and exit
  --version   print the version and exit

Exit status: 0 after a fit (or the solver's own message); otherwise the
number of the run-time message on standard error (29: an input file is
missing, 24: it ends early, 59 or 64: a field is not a number, 10: the
results file exists).
)";
}

// Writes all of `text` to standard output; false when it cannot.
bool write_out(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

int print_and_exit(const std::string& text) {
  if (write_out(text)) return 0;
  const std::string error =
      std::string("vbsfit: cannot write to standard output: ") + std::strerror(errno) + "\n";
  (void)!::write(STDERR_FILENO, error.data(), error.size());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--help") return print_and_exit(help_text());
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    return print_and_exit(std::string("vbsfit ") + VBSFIT_VERSION + "\n");
  }
  diagnostics::install_signal_handlers();
  driver::main_program({driver::start_values::kSpecies, driver::start_values::kNox,
                        driver::start_values::kTag});
}
