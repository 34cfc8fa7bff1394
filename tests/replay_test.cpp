// The replay of a fitted model: on vbsgen data the fit of the model that made
// them gives the bins back, a tag that drops reactions the data had does
// not, and a model the step cannot take stops with every figure unknown.
#include "quality/replay.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "../tools/vbsgen_model.hpp"
#include "config/config.hpp"
#include "driver/in_memory.hpp"

namespace {

// A run of vbsgen's model in memory, with its series laid out as the fit
// takes them.
struct Simulation {
  std::vector<double> time, precursor, bins, molar_masses;

  vbsgen::Coefficients truth;

  // `background`: a run with absorptive partitioning and that background
  // aerosol mass (vbsgen --partitioning), not of the fitted model's form.
  Simulation(const std::string& species, const std::string& tag, std::uint64_t seed,
             double noise = 0.0, std::optional<double> background = std::nullopt)
      : truth(vbsgen::draw_coefficients(seed)) {
    vbsgen::Run run;
    const config::RateConstants rates = config::rate_constants(species, tag);
    const std::string problem =
        background ? vbsgen::simulate_partitioning(rates, truth, config::kRecords, 300.0, 25.0,
                                                   *background, run)
                   : vbsgen::simulate(rates, truth, config::kRecords, 300.0, 25.0, run);
    EXPECT_EQ(problem, "");
    if (noise > 0.0) vbsgen::add_noise(run, noise, seed);
    time = run.time;
    precursor = run.precursor;
    for (std::size_t t = 0; t < run.time.size(); ++t) {
      bins.insert(bins.end(), run.bins[t].begin(), run.bins[t].end());
      molar_masses.insert(molar_masses.end(), run.wmol[t].begin(), run.wmol[t].end());
    }
  }
};

// A fit of a simulation, its figures and its replay.
struct Judged {
  driver::FitOutcome fit;
  std::vector<quality::Fit> figures;  // per target bin
  quality::Replay replay;
};

// Fits `s` under `tag` in memory, assesses its solves and replays the
// coefficients it reports.
Judged judge(const Simulation& s, const std::string& species, const std::string& tag) {
  driver::FitInput input;
  input.time = s.time;
  input.precursor = s.precursor;
  input.bins = s.bins;
  input.molar_masses = s.molar_masses;
  input.species = species;
  input.tag = tag;
  Judged j{driver::fit_in_memory(input), {}, {}};
  const driver::FitOutcome& fit = j.fit;
  EXPECT_TRUE(fit.ending.ok()) << fit.ending.message;
  std::vector<double> coefficients;
  for (const driver::SolveRecord& solve : fit.solves) {
    coefficients.insert(coefficients.end(), solve.reported.begin(), solve.reported.end());
  }
  const std::array<double, config::kCoefficients> rates = config::rate_row(fit.rates);
  const quality::Stored stored{s.time, s.precursor, s.bins, rates};
  const quality::Design design =
      quality::design_of(fit.intervals, config::kCoefficients, fit.a, stored);
  for (int r = 1; r <= config::kBins; ++r) {
    const driver::SolveRecord& solve = fit.solves[r - 1];
    const quality::Problem p{fit.intervals, config::kCoefficients, fit.a, solve.b,
                             solve.x,       solve.lower,           solve.upper, r};
    j.figures.push_back(quality::assess(p, design));
  }
  j.replay = quality::replay(stored, coefficients, fit.avgwmol);
  return j;
}

quality::Replay fit_and_replay(const Simulation& s, const std::string& species,
                               const std::string& tag) {
  return judge(s, species, tag).replay;
}

// Whether bin r (0-based) of `j` is a misfit under the default limits.
bool misfit(const Judged& j, int r) {
  return quality::is_misfit(j.figures[r], j.replay.bin[r].max_error, quality::kDefaultMisfitLimit,
                            quality::kDefaultReplayLimit);
}

// The fit recovers noise-free coefficients to about 1e-10 and the replay
// adds rounding of 1440 well-conditioned steps: far inside this.
constexpr double kExactReplay = 1e-6;

TEST(Replay, TheDatasOwnModelGivesBackTheBins) {
  for (const char* species : {"OLE2_OH", "TOL", "c12", "ideal"}) {
    for (std::uint64_t seed : {1u, 2u, 3u}) {
      SCOPED_TRACE(std::string(species) + " seed " + std::to_string(seed));
      const Simulation s(species, "allgas", seed);
      const quality::Replay replay = fit_and_replay(s, species, "allgas");
      ASSERT_EQ(replay.problem, "");
      ASSERT_EQ(replay.bins.size(), s.bins.size());
      for (int r = 0; r < config::kBins; ++r) {
        EXPECT_LE(replay.bin[r].max_error, kExactReplay) << "bin " << r + 1;
        EXPECT_LE(replay.bin[r].rms_error, kExactReplay) << "bin " << r + 1;
      }
      EXPECT_LE(replay.total.max_error, kExactReplay);
      EXPECT_LE(replay.weighted_total.max_error, kExactReplay);
      // The series itself, not only its figures: the last record.
      for (int j = 0; j < config::kBins; ++j) {
        const double observed = s.bins[config::kIntervals * config::kBins + j];
        EXPECT_NEAR(replay.bins[config::kIntervals * config::kBins + j], observed,
                    kExactReplay * observed);
      }
    }
  }
}

// A tag that drops reactions the data had cannot reproduce them: the bins'
// total drifts by several per cent of its peak (static) or by more than the
// exact replay's rounding (no56, whose slow bins matter little).
TEST(Replay, AWrongTagsReplayErrorIsLarge) {
  struct Case {
    const char* tag;
    double at_least;  // the bins' total's replay error
  } cases[] = {{"static", 0.05}, {"no56", 1e-4}};
  for (const Case& c : cases) {
    for (std::uint64_t seed : {1u, 2u}) {
      SCOPED_TRACE(std::string(c.tag) + " seed " + std::to_string(seed));
      const Simulation s("OLE2_OH", "allgas", seed);
      const quality::Replay replay = fit_and_replay(s, "OLE2_OH", c.tag);
      ASSERT_EQ(replay.problem, "");
      EXPECT_GE(replay.total.max_error, c.at_least);
      double worst = 0.0;
      for (const quality::ReplayError& e : replay.bin) worst = std::max(worst, e.max_error);
      EXPECT_GE(worst, c.at_least);
    }
  }
}

// The misfit rule on vbsgen data: the data's own tag never makes a misfit,
// and a tag that drops reactions the data had is a misfit in every bin
// whose VOC coefficient it misses by more than 0.02, with or without noise.
TEST(MisfitOnSimulations, TheRightTagNeverAndEveryWrongTagsMiss) {
  constexpr double kMiss = 0.02;  // what a modeller calls a missed yield
  struct Case {
    const char* species;
    const char* data_tag;
    const char* fit_tag;
    double noise;
  } cases[] = {
      {"OLE2_OH", "allgas", "allgas", 0.0},  {"OLE2_OH", "allgas", "allgas", 0.01},
      {"TOL", "no6", "no6", 0.0},            {"c12", "no6", "no6", 0.01},
      {"OLE2_OH", "allgas", "static", 0.0},  {"OLE2_OH", "allgas", "static", 0.01},
      {"TOL", "allgas", "no56", 0.0},        {"c12", "no6", "static", 0.01},
      {"c12", "allgas", "no56", 0.01},
  };
  int misses = 0;
  for (const Case& c : cases) {
    for (std::uint64_t seed : {1u, 2u, 3u}) {
      SCOPED_TRACE(std::string(c.species) + " " + c.data_tag + " fitted " + c.fit_tag +
                   " noise " + std::to_string(c.noise) + " seed " + std::to_string(seed));
      const Simulation s(c.species, c.data_tag, seed, c.noise);
      const Judged j = judge(s, c.species, c.fit_tag);
      for (int r = 0; r < config::kBins; ++r) {
        const double miss = std::fabs(j.fit.solves[r].reported[0] - s.truth[r][0]);
        if (std::string(c.data_tag) == c.fit_tag) {
          EXPECT_FALSE(misfit(j, r)) << "bin " << r + 1 << " drift " << j.figures[r].drift;
        } else if (miss > kMiss) {
          ++misses;
          EXPECT_TRUE(misfit(j, r)) << "bin " << r + 1 << " misses VOC by " << miss << ", drift "
                                    << j.figures[r].drift << ", replay error "
                                    << j.replay.bin[r].max_error;
        }
      }
    }
  }
  EXPECT_GE(misses, 10);  // the wrong tags did miss: the rule was put to the test
}

// On a run the model cannot describe exactly (absorptive partitioning), the
// data's tag leaves residuals that drift, yet its replay stays within the
// replay limit: those bins are not misfits; a static fit of the same run is.
TEST(MisfitOnSimulations, NonLinearRunsAreJudgedByTheirReplay) {
  int drifting = 0;
  for (std::uint64_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Simulation s("OLE2_OH", "allgas", seed, 0.0, 0.0);
    const Judged right = judge(s, "OLE2_OH", "allgas");
    for (int r = 0; r < config::kBins; ++r) {
      drifting += right.figures[r].drift > quality::kDefaultMisfitLimit;
      if (right.replay.bin[r].max_error <= quality::kDefaultReplayLimit) {
        EXPECT_FALSE(misfit(right, r)) << "bin " << r + 1;
      }
    }
    const Judged wrong = judge(s, "OLE2_OH", "static");
    EXPECT_GT(wrong.replay.total.max_error, quality::kDefaultReplayLimit);
    int flagged = 0;
    for (int r = 0; r < config::kBins; ++r) flagged += misfit(wrong, r);
    EXPECT_GE(flagged, 3);
  }
  EXPECT_GT(drifting, 0);  // the residuals alone would have called them misfits
}

// One bin, no precursor yield, self term -k: y(t+1) = y(t) (1 - h k / 2) /
// (1 + h k / 2), against which the observed series is given off by a known
// amount; and models whose step matrix is singular or that overflow.
TEST(Replay, FiguresOfKnownSeriesAndStepsThatCannotBeTaken) {
  const std::vector<double> time = {0.0, 1.0, 2.0, 3.0};
  const std::vector<double> precursor = {0.0, 0.0, 0.0, 0.0};
  const std::vector<double> rates = {1.0, 1.0};
  // Self term -0.5 (reported 0.5): factor (1 - 0.25) / (1 + 0.25) = 0.6.
  const std::vector<double> exact = {1.0, 0.6, 0.36, 0.216};
  std::vector<double> observed = exact;
  observed[2] += 0.01;
  const quality::Stored stored{time, precursor, observed, rates};
  const std::vector<double> coefficients = {0.0, 0.5};
  const quality::Replay r = quality::replay(stored, coefficients);
  ASSERT_EQ(r.problem, "");
  for (std::size_t t = 0; t < exact.size(); ++t) EXPECT_NEAR(r.bins[t], exact[t], 1e-15);
  EXPECT_NEAR(r.bin[0].max_error, 0.01 / 1.0, 1e-12);
  const double mean = (1.0 + 0.6 + 0.37 + 0.216) / 4;
  EXPECT_NEAR(r.bin[0].rms_error, std::sqrt(0.01 * 0.01 / 4) / mean, 1e-12);
  EXPECT_TRUE(std::isnan(r.weighted_total.max_error));  // no molar masses given

  // With h = 2 the step matrix is 1 - raw: a raw self term of 1 makes it
  // singular; one of 0.9 multiplies the bin by 19 a step.
  struct Bad {
    const char* name;
    double own;    // reported self term; raw = own - 1
    double first;  // the first record's bin
    const char* problem;
  } bad[] = {
      {"singular", 2.0, 1.0, "the step matrix of interval 1 is singular"},
      {"overflow", 1.9, 1e307, "the replay overflowed in interval 1"},
  };
  const std::vector<double> wide = {0.0, 2.0, 4.0, 6.0};
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.name);
    const std::vector<double> first = {b.first, 0.0, 0.0, 0.0};
    const quality::Stored s{wide, precursor, first, rates};
    const std::vector<double> c = {0.0, b.own};
    const quality::Replay failed = quality::replay(s, c);
    EXPECT_EQ(failed.problem, b.problem);
    EXPECT_TRUE(failed.bins.empty());
    EXPECT_TRUE(std::isnan(failed.bin[0].max_error));
    EXPECT_TRUE(std::isnan(failed.total.rms_error));
  }
}

}  // namespace
