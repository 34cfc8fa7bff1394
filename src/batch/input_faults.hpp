// Where a run's input went wrong, said in the batch's tables after the run
// has ended: the input files (in the layout of the entry's species row) are
// read again with the readers' own field rules (textio), so the run itself
// and its standard error stay exactly as they are.
#pragma once

#include <string>
#include <vector>

#include "batch/outcome.hpp"
#include "batch/run_set.hpp"

namespace batch {

// For a run that ended with `exit_status` 59 or 64 (a field that is not a
// number), where the first such field stands ("aer.cdis_all.6 line 17,
// columns 27-39: '0.1x3E-01'"); for 24 (end of file), which file ended and
// how many records it held of the 1441 needed. Empty when the files (read
// from `workdir`) show nothing of the kind.
std::string locate_input_fault(const RunEntry& entry, const std::string& workdir,
                               int exit_status);

// The most data records an input file of `entry` holds, or 0 when none
// holds more than the 1441 a fit reads.
int surplus_records(const RunEntry& entry, const std::string& workdir);

// Adds to the message of a run that failed on its input where its input
// went wrong (locate_input_fault), if the files show it.
void note_input_fault(const RunEntry& entry, Outcome& outcome, const std::string& workdir);

}  // namespace batch
