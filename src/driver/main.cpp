// Process entry: install the signal handlers and run the main program once.
// The run's configuration is built in; arguments are ignored.
#include "diagnostics/signals.hpp"
#include "driver/main_program.hpp"
#include "start_values.hpp"

int main() {
  diagnostics::install_signal_handlers();
  driver::main_program({driver::start_values::kSpecies, driver::start_values::kNox,
                        driver::start_values::kTag});
}
