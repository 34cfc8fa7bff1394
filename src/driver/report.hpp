// The results report: progress lines on standard output and the results file
// FITS/fit6_coef.<species>.<scenario>.<tag> (unit 11, created new).
#pragma once

#include "driver/main_program.hpp"

namespace driver {

// Prints the tag, creates the results file and writes the header lines to
// standard output and to the file.
void open_report(MainVariables& v);

// The coefficients of solve r, to standard output and to the results file.
void report_solve(int r);

// The molar-mass record; closes the results file.
void close_report();

}  // namespace driver
