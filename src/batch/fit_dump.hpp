// The fit's own doubles, handed from the process that ran a configuration to
// vbsfit-batch: a binary file of raw IEEE 754 bytes in this machine's byte
// order, written by an observer of the run and read back after the run
// ended with status 0.
//
//   header   "vbsfitD1", the extents (records, intervals, bins,
//            coefficients, 4 x int32), the species, scenario and tag
//            (blank-padded to their fixed lengths)
//   problem  TIME(1441), KP, K(6), AVGWMOL(6), ABVLSX(1440 x 7, column by
//            column)
//   6 solves r, LOOPABVLS, ISTATEBVLS(8) (int32); BBVLS(1440); ALPHAL(7),
//            ALPHAU(7) and ALPHA(7) as bvls returned it, before the target's
//            own coefficient is shifted into [0, 1]
//   trailer  "vbsfitE1" and the byte count before it (uint64)
//
// A file without its trailer, or of any other size, is not a complete
// record of a fit.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "batch/files.hpp"
#include "batch/report_layout.hpp"
#include "batch/run_set.hpp"
#include "config/config.hpp"
#include "driver/run_observer.hpp"

namespace batch {

struct SolveRecord {
  std::int32_t loops = 0;                                  // LOOPABVLS
  std::array<std::int32_t, config::kCoefficients + 1> state{};  // ISTATEBVLS
  std::vector<double> b;                                    // BBVLS
  std::array<double, config::kCoefficients> lower{};        // ALPHAL
  std::array<double, config::kCoefficients> upper{};        // ALPHAU
  std::array<double, config::kCoefficients> x{};            // ALPHA before the shift
};

struct FitDump {
  Configuration config;
  std::vector<double> time;                      // TIME
  double kp = 0.0;                               // KP
  std::array<double, config::kBins> k{};         // K
  std::array<double, config::kBins> avgwmol{};   // AVGWMOL
  std::vector<double> a;                         // ABVLSX, column by column
  std::array<SolveRecord, config::kBins> solves;  // target bins 1 ... 6
};

// Writes the record of the run it observes into the file kFitDumpName of the
// directory `directory_fd`, block by block as the run reaches each point; a
// run that ends before its problem is ready leaves no file. A failed write
// stops the writing, and the record then lacks its trailer. It prints
// nothing and never ends the run.
class FitDumpWriter : public driver::RunObserver {
 public:
  FitDumpWriter(int directory_fd, const Configuration& config)
      : directory_fd_(directory_fd), config_(config) {}
  ~FitDumpWriter();
  FitDumpWriter(const FitDumpWriter&) = delete;
  FitDumpWriter& operator=(const FitDumpWriter&) = delete;
  void problem_ready() override;
  void solved(int r) override;
  void finished() override;

 private:
  void put(const std::vector<IoPart>& parts);

  int directory_fd_;
  int fd_ = -1;
  Configuration config_;
  std::uint64_t written_ = 0;
  bool failed_ = false;
};

// Reads the record at `path` made for `expected`. Returns why it is not a
// complete record of that configuration's fit, or empty with `dump` filled.
std::string read_fit_dump(const std::string& path, const Configuration& expected, FitDump& dump);

}  // namespace batch
