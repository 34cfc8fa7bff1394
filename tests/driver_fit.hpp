// Test support: one configuration fitted through vbsfit's own stages (set-up,
// readers, fitting problem, the six solves) in a child process, and every
// solve's problem handed back as the solver saw it, so that fit quality can
// be checked on real fits.
#pragma once

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "boundedls/boundedls.hpp"
#include "config/config.hpp"
#include "declare/declare.hpp"
#include "diagnostics/float_mode.hpp"
#include "driver/fitting.hpp"
#include "driver/in_memory.hpp"
#include "driver/main_program.hpp"
#include "driver/readers.hpp"
#include "driver/setup.hpp"
#include "quality/quality.hpp"
#include "quality/replay.hpp"
#include "run_program.hpp"

namespace testsupport {

inline constexpr int kRows = config::kIntervals;
inline constexpr int kCols = config::kCoefficients;

// One solve: its right-hand side, bounds and solution exactly as bvls had
// them, and the coefficients as the results file reports them.
struct DriverSolve {
  std::vector<double> b = std::vector<double>(kRows);
  std::vector<double> x = std::vector<double>(kCols);
  std::vector<double> lower = std::vector<double>(kCols);
  std::vector<double> upper = std::vector<double>(kCols);
  std::vector<double> reported = std::vector<double>(kCols);
};

struct DriverFit {
  bool ok = false;
  std::string err;  // the child's standard error when it failed
  std::vector<double> time = std::vector<double>(config::kRecords);
  std::vector<double> a = std::vector<double>(static_cast<std::size_t>(kRows) * kCols);
  std::array<DriverSolve, config::kBins> solves;
  double kp = 0.0;
  std::array<double, config::kBins> k{};
  std::array<double, config::kBins> wmol{};

  quality::Problem problem(int r) const {  // r = 1 ... 6
    const DriverSolve& s = solves[r - 1];
    return {kRows, kCols, a, s.b, s.x, s.lower, s.upper};
  }
};

namespace detail {

// Every double of a DriverFit in one fixed order, for writing and reading.
template <typename Visit>
void each_block(DriverFit& fit, Visit&& visit) {
  visit(fit.time.data(), fit.time.size());
  visit(fit.a.data(), fit.a.size());
  for (DriverSolve& s : fit.solves) {
    for (std::vector<double>* v : {&s.b, &s.x, &s.lower, &s.upper, &s.reported}) {
      visit(v->data(), v->size());
    }
  }
  visit(&fit.kp, 1);
  visit(fit.k.data(), fit.k.size());
  visit(fit.wmol.data(), fit.wmol.size());
}

}  // namespace detail

// Fits the configuration `start` with `directory` as working directory.
inline DriverFit fit_through_driver(const std::filesystem::path& directory,
                                    const driver::StartValues& start) {
  ScratchDir scratch;
  const std::string dump = (scratch.path() / "fit.bin").string();
  ProgramRun run = run_in_child([&] {
    if (::chdir(directory.c_str()) != 0) ::_exit(127);
    diagnostics::set_float_mode();
    using namespace declare;
    static driver::MainVariables v;
    driver::run_setup(v, start);
    driver::run_readers(v);
    driver::build_problem();
    driver::check_problem();
    DriverFit fit;
    for (int t = 1; t <= kRecords; ++t) fit.time[t - 1] = TIME(t);
    for (int c = 1; c <= kCols; ++c) {
      for (int i = 1; i <= kRows; ++i) fit.a[(c - 1) * kRows + i - 1] = ABVLSX(i, c);
    }
    for (int r = 1; r <= config::kBins; ++r) {
      driver::solve(r);
      DriverSolve& s = fit.solves[r - 1];
      for (int i = 1; i <= kRows; ++i) s.b[i - 1] = BBVLS(i);
      for (int c = 1; c <= kCols; ++c) {
        s.lower[c - 1] = ALPHAL(c);
        s.upper[c - 1] = ALPHAU(c);
        s.reported[c - 1] = ALPHA(c);
      }
      // bvls leaves its inputs as they were: solving again gives the
      // solution before the shift, bit for bit.
      std::int32_t key = 0, loops = 0;
      std::vector<std::int32_t> state(kCols + 1);
      boundedls::bvls(key, kRows, kCols, ABVLS.data(), BBVLS.data(), ALPHAL.data(),
                      ALPHAU.data(), s.x.data(), state.data(), loops);
    }
    fit.kp = KP;
    for (int j = 1; j <= config::kBins; ++j) {
      fit.k[j - 1] = K(j);
      fit.wmol[j - 1] = AVGWMOL(j);
    }
    std::FILE* out = std::fopen(dump.c_str(), "wb");
    bool written = out != nullptr;
    detail::each_block(fit, [&](double* p, std::size_t n) {
      written = written && std::fwrite(p, sizeof(double), n, out) == n;
    });
    written = out != nullptr && std::fclose(out) == 0 && written;
    ::_exit(written ? 0 : 126);
  });
  DriverFit fit;
  fit.err = run.err;
  if (run.exit_status != 0) return fit;
  std::FILE* in = std::fopen(dump.c_str(), "rb");
  bool read = in != nullptr;
  detail::each_block(fit, [&](double* p, std::size_t n) {
    read = read && std::fread(p, sizeof(double), n, in) == n;
  });
  if (in != nullptr) std::fclose(in);
  fit.ok = read;
  return fit;
}

// The figures of solve r (1 ... 6) of `fit`, made in `directory` for
// `species` and `scenario`, as the batch assesses it: with the errors
// propagated from the stored series, read again from the input files.
inline quality::Fit assess_with_inputs(const DriverFit& fit, const std::filesystem::path& directory,
                                       std::string_view species, std::string_view scenario, int r,
                                       double se_limit = quality::kDefaultSeLimit) {
  const driver::ReadOutcome read = driver::read_inputs(directory.string(), species, scenario);
  if (!read.ending.ok()) return {};
  const std::array<double, kCols> rates = config::rate_row({fit.kp, fit.k});
  const quality::Stored stored{read.arrays.time, read.arrays.precursor, read.arrays.bins, rates};
  quality::Problem p = fit.problem(r);
  p.target = r;
  return quality::assess(p, quality::design_of(p.rows, p.cols, p.a, stored), se_limit);
}

// The replay of `fit`'s reported coefficients on the input files in
// `directory`, as the batch replays it.
inline quality::Replay replay_with_inputs(const DriverFit& fit,
                                          const std::filesystem::path& directory,
                                          std::string_view species, std::string_view scenario) {
  const driver::ReadOutcome read = driver::read_inputs(directory.string(), species, scenario);
  if (!read.ending.ok()) return {};
  const std::array<double, kCols> rates = config::rate_row({fit.kp, fit.k});
  std::vector<double> coefficients;
  for (const DriverSolve& s : fit.solves) {
    coefficients.insert(coefficients.end(), s.reported.begin(), s.reported.end());
  }
  return quality::replay({read.arrays.time, read.arrays.precursor, read.arrays.bins, rates},
                         coefficients, fit.wmol);
}

}  // namespace testsupport
