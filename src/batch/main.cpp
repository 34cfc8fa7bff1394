// vbsfit-batch: every configuration of a study fitted by vbsfit's own
// program, in parallel, with tables of the results. See --help.
#include <string>
#include <vector>

#include "batch/batch.hpp"
#include "start_values.hpp"

int main(int argc, char** argv) {
  return batch::batch_main(std::vector<std::string>(argv + 1, argv + argc),
                           {driver::start_values::kSpecies, driver::start_values::kNox,
                            driver::start_values::kTag, VBSFIT_VERSION, VBSFIT_SOURCE_REVISION,
                            argc > 0 ? argv[0] : "vbsfit-batch"});
}
