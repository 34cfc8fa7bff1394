// Shared by the fuzz targets of the one-file run readers (CSV, NetCDF): what
// every read must give, a refusal of one line or series a fit can take.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <string>

#include "driver/run_files.hpp"

namespace fuzzing {

// Aborts unless `read` is a refusal of one nonempty line, or series of one
// length of at least 2 records, six bins a record, molar masses as `masses`
// asks, and time finite and increasing. Returns whether it holds series.
inline bool check_run(const driver::ReadOutcome& read, bool masses) {
  if (!read.ending.ok()) {
    const std::string& m = read.ending.message;
    if (m.empty() || m.find('\n') != std::string::npos) std::abort();
    return false;
  }
  const driver::InputArrays& a = read.arrays;
  const std::size_t n = a.time.size();
  if (n < 2 || a.precursor.size() != n || a.bins.size() != 6 * n ||
      a.molar_masses.size() != (masses ? 6 * n : 0)) {
    std::abort();
  }
  for (std::size_t t = 0; t < n; ++t) {
    if (!std::isfinite(a.time[t]) || (t > 0 && !(a.time[t] > a.time[t - 1]))) std::abort();
  }
  return true;
}

}  // namespace fuzzing
