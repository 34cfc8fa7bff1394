// The results report: progress lines on standard output and the results file
// FITS/fit6_coef.<species>.<scenario>.<tag> (unit 11, created new).
#pragma once

#include "driver/main_program.hpp"
#include "textio/unit.hpp"

namespace driver {

// Prints the tag, creates the results file and writes the header lines to
// standard output and to the file. Given `results` (a fit in memory), the
// results records go to that unit instead, and no file is created.
void open_report(MainVariables& v, textio::Unit* results = nullptr);

// The coefficients of solve r, to standard output and to the results file.
void report_solve(int r);

// The molar-mass record; closes the results file.
void close_report();

}  // namespace driver
