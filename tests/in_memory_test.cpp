// The fit in memory: the program's own bytes for the reference runs, the
// endings it returns instead of ending the process, and fits in several
// threads at once.
#include "driver/in_memory.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "declare/declare.hpp"
#include "run_program.hpp"

namespace {

using driver::Ending;
using Kind = driver::Ending::Kind;

const std::string kAcceptance = std::string(VBSFIT_SOURCE_DIR) + "/tests/data/acceptance/";

driver::FitInput input_of(const driver::InputArrays& a, const std::string& species) {
  driver::FitInput in;
  in.time = a.time;
  in.precursor = a.precursor;
  in.bins = a.bins;
  in.molar_masses = a.molar_masses;
  in.species = species;
  return in;
}

// Standard output from the line after the set-up's eight (factors, paths,
// rate constants): what the fitting problem, report and solves print.
std::string after_setup(const std::string& out) {
  std::size_t at = 0;
  for (int line = 0; line < 8; ++line) at = out.find('\n', at) + 1;
  return out.substr(at);
}

TEST(FitInMemory, ReferenceRunsGiveTheProgramsResultsAndLines) {
  for (const auto& [layout, species] : {std::pair{"standard", "OLE2_OH"}, {"ideal", "ideal"}}) {
    SCOPED_TRACE(layout);
    const std::string dir = kAcceptance + layout;
    const driver::ReadOutcome read = driver::read_inputs(dir + "/run", species, "0.1");
    ASSERT_TRUE(read.ending.ok()) << read.ending.message;
    EXPECT_EQ(read.arrays.molar_masses.empty(), std::string(layout) == "ideal");
    const driver::FitOutcome fit = driver::fit_in_memory(input_of(read.arrays, species));
    ASSERT_TRUE(fit.ending.ok()) << fit.ending.message;
    EXPECT_EQ(fit.results_text, testsupport::read_file(dir + "/expected/results"));
    EXPECT_EQ(fit.progress, after_setup(testsupport::read_file(dir + "/expected/stdout")));
    EXPECT_EQ(fit.records, 1441);
    EXPECT_EQ(fit.a.size(), 1440u * 7);
  }
  // The thread's run data is the program's again.
  EXPECT_EQ(declare::records(), 1441);
  EXPECT_STREQ(declare::ABVLS.name(), "ABVLS");
}

// Records t = 0 ... n - 1, five minutes apart, with bins that change.
struct Series {
  std::vector<double> time, precursor, bins;
  explicit Series(int n) {
    for (int t = 0; t < n; ++t) {
      time.push_back(300.0 * t);
      precursor.push_back(25.0 - 0.01 * t);
      for (int j = 1; j <= 6; ++j) bins.push_back(0.001 * t * j + 0.0001 * (t % 3));
    }
  }
  driver::FitInput input() const {
    driver::FitInput in;
    in.time = time;
    in.precursor = precursor;
    in.bins = bins;
    return in;
  }
};

TEST(FitInMemory, RefusesInputThatCannotBeFitted) {
  struct Case {
    const char* name;
    void (*spoil)(Series&, driver::FitInput&);
    const char* message;
  };
  const Case cases[] = {
      {"one record", [](Series& s, driver::FitInput& in) { in.time = std::span(s.time).first(1); },
       "at least 2 records are needed (one interval); time has 1"},
      {"short precursor",
       [](Series& s, driver::FitInput& in) { in.precursor = std::span(s.precursor).first(3); },
       "precursor has 3 values; time has 5"},
      {"bins not 6 per record",
       [](Series& s, driver::FitInput& in) { in.bins = std::span(s.bins).first(29); },
       "bins has 29 values; 5 records of 6 bins need 30"},
      {"a NaN", [](Series& s, driver::FitInput&) { s.bins[13] = 0.0 / 0.0; },
       "bins[2, 1] is not finite"},
      {"time repeated", [](Series& s, driver::FitInput&) { s.time[3] = s.time[2]; },
       "time must increase from record to record: time[3] = 600 follows time[2] = 600"},
      {"species too long", [](Series&, driver::FitInput& in) { in.species = "ELEVENCHARS"; },
       "species \"ELEVENCHARS\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Series s(5);
    driver::FitInput in = s.input();
    c.spoil(s, in);
    const Ending e = driver::fit_in_memory(in).ending;
    EXPECT_EQ(e.kind, Kind::input);
    EXPECT_EQ(e.status, 1);
    EXPECT_EQ(e.bin, 0);
    EXPECT_NE(e.message.find(c.message), std::string::npos) << e.message;
  }
}

TEST(FitInMemory, ASolverStopNamesItsTargetBin) {
  Series s(50);
  driver::FitInput in = s.input();
  in.rates = config::RateConstants{1e160, {1e160, 1e160, 1e160, 1e160, 1e160, 1e160}};
  const Ending e = driver::fit_in_memory(in).ending;
  EXPECT_EQ(e.kind, Kind::solver);
  EXPECT_EQ(e.status, 1);
  EXPECT_GE(e.bin, 1);
  EXPECT_NE(e.message.find("solve for bin " + std::to_string(e.bin)), std::string::npos)
      << e.message;
}

TEST(ReadInputs, ReturnsTheNumberedDiagnosticOfAMissingFile) {
  testsupport::ScratchDir dir;
  const Ending e = driver::read_inputs(dir.path().string(), "TOL", "0.1").ending;
  EXPECT_EQ(e.kind, Kind::diagnostic);
  EXPECT_EQ(e.status, 29);
  EXPECT_EQ(e.message, "file not found, unit 20, file " + dir.path().string() +
                           "/../INPUTS_ODE/5days/0.1_aer.TOL/aer.precursor");
}

TEST(FitInMemory, ThreadsGiveTheResultsOfOne) {
  const std::vector<int> lengths = {2, 200, 1441, 2881};
  std::vector<Series> series;
  for (int n : lengths) series.emplace_back(n);
  std::vector<driver::FitOutcome> alone, together(lengths.size());
  for (const Series& s : series) alone.push_back(driver::fit_in_memory(s.input()));
  std::vector<std::thread> threads;
  for (std::size_t k = 0; k < series.size(); ++k) {
    threads.emplace_back([&, k] { together[k] = driver::fit_in_memory(series[k].input()); });
  }
  for (std::thread& t : threads) t.join();
  for (std::size_t k = 0; k < series.size(); ++k) {
    SCOPED_TRACE(lengths[k]);
    EXPECT_EQ(alone[k].ending.message, together[k].ending.message);
    EXPECT_EQ(alone[k].results_text, together[k].results_text);
    EXPECT_EQ(alone[k].records, lengths[k]);
  }
}

}  // namespace
