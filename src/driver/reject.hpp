// Input that cannot be fitted: the run ends with one line on standard error
// that says what is wrong, and status 1, before anything of it is reported as
// a result.
#pragma once

#include <string>

#include "config/formats.hpp"

namespace driver {

// Writes "vbsfit: " and `line` to standard error and stops with status 1 (the
// exit processing removes a results file not yet complete).
[[noreturn]] void reject_input(const std::string& line);

// The numbers in these lines are in their shortest exact text.
using config::shortest;

}  // namespace driver
