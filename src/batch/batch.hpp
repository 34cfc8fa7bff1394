// vbsfit-batch as a program: the command line, the run set, the runner, the
// tables and the summary; or the joining of shards' reports.
#pragma once

#include <string>

#include "batch/options.hpp"

namespace batch {

// Runs the program with its arguments (without the program name) and
// returns its exit status: 0 when every configuration succeeded or was kept,
// 1 when one failed or is stale or the report is not whole, 2 for bad usage,
// 128 + the signal that stopped it.
int batch_main(const std::vector<std::string>& args, const BuildFacts& build);

}  // namespace batch
