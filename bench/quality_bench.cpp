// The cost of a configuration's figures beside the fit they are made from,
// on the bundled example: the fit in memory (what the batch's analysis runs
// first), and the six solves' figures with the OLS errors alone or with the
// errors propagated from the stored series (what it then runs). The
// propagated errors should cost a small share of the fit.
#include <benchmark/benchmark.h>

#include <array>
#include <filesystem>
#include <optional>
#include <vector>

#include "config/config.hpp"
#include "driver/in_memory.hpp"
#include "quality/quality.hpp"

namespace {

struct Example {
  driver::InputArrays arrays;
  driver::FitInput input;
  driver::FitOutcome fit;
  std::array<double, config::kCoefficients> rates{};
  Example() {
    const auto run = std::filesystem::path(VBSFIT_SOURCE_DIR) / "examples" / "run";
    arrays = driver::read_inputs(run.string(), "OLE2_OH", "0.1").arrays;
    input = {arrays.time, arrays.precursor, arrays.bins, arrays.molar_masses, "OLE2_OH", "0.1",
             "allgas", std::nullopt};
    fit = driver::fit_in_memory(input);
    rates = config::rate_row(fit.rates);
  }
};

const Example& example() {
  static const Example e;
  return e;
}

void BM_FitInMemory(benchmark::State& state) {
  const Example& e = example();
  for (auto _ : state) benchmark::DoNotOptimize(driver::fit_in_memory(e.input));
}
BENCHMARK(BM_FitInMemory)->Unit(benchmark::kMicrosecond);

// The six solves' figures; state.range(0) 1 with the stored series.
void BM_AssessSolves(benchmark::State& state) {
  const Example& e = example();
  const bool stored = state.range(0) != 0;
  for (auto _ : state) {
    const quality::Design design =
        stored ? quality::design_of(e.fit.intervals, config::kCoefficients, e.fit.a,
                                    {e.input.time, e.input.precursor, e.input.bins, e.rates})
               : quality::design_of(e.fit.intervals, config::kCoefficients, e.fit.a);
    for (int r = 1; r <= config::kBins; ++r) {
      const driver::SolveRecord& s = e.fit.solves[r - 1];
      const quality::Problem p{e.fit.intervals, config::kCoefficients, e.fit.a, s.b,
                               s.x,             s.lower,               s.upper, stored ? r : 0};
      benchmark::DoNotOptimize(quality::assess(p, design));
    }
  }
}
BENCHMARK(BM_AssessSolves)->ArgName("stored")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
