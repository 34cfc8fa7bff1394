// A joined study checked against the working directory's files, as a rerun
// checks its records: the shares' databases say what their batches found,
// and a file may have changed since (a --refit killed after its new results
// file got its name, inputs edited after the share ran, a share copied
// without its files).
#pragma once

#include <string>
#include <vector>

#include "batch/analysis.hpp"
#include "study/study.hpp"

namespace batch {

// Checks every fitted configuration of `db` against its files below
// `workdir`. One whose inputs and results file are as recorded (and whose
// record has its digest) stands. Any other is fitted again in memory and
// compared with its results file (the analysis of a rerun): when they are
// equal it is kept with the fit's numbers, otherwise it is recorded stale
// with a note naming the file, so that the report never shows numbers that
// are not its results file's. Returns why the study could not be read or
// written, or empty; `notes` gets a line for each configuration whose
// numbers were taken from its results file, and one for a working
// directory that lacks inputs.
// The analysis takes the limits of the study's batches (a merge found them
// alike).
std::string check_against_files(study::Study& db, const std::string& workdir,
                                std::vector<std::string>& notes);

}  // namespace batch
