// Studies for the report's tests and sample: configurations fitted to a
// small simulated volatility-basis-set system whose truth is known.
//
// The simulation: a precursor decaying at KP, forming the six bins with
// yields that depend on the scenario, each bin j ageing into bin j-1 at
// K(j); a tag zeroes rate constants as the tag rules do. A configuration is
// the simulation made under `truth` fitted (least squares, without bounds,
// as the bounds are inactive here) with the columns `tag` leaves, so a tag
// smaller than the truth misses reactions the data contain.
#pragma once

#include <Eigen/Dense>

#include <array>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "quality/quality.hpp"
#include "quality/replay.hpp"
#include "report/page_notes.hpp"
#include "report/report.hpp"
#include "report/study_view.hpp"

namespace fixture {

inline constexpr int kRecords = config::kRecords;  // 1441
inline constexpr int kRows = kRecords - 1;
inline constexpr double kStep = 300.0;  // seconds between records: five days

struct Fitted {
  report::PageData page;
  report::PageNotes notes;
  report::StudyRow row;
};

// K(1 ... 6) under a tag, for this simulation.
inline std::array<double, 6> rates(const std::string& tag) {
  std::array<double, 6> k = {1.5e-4, 6e-5, 2.5e-5, 1e-5, 4e-6, 1e-6};
  const int keep = tag == "static" ? 0 : tag == "no56" ? 4 : tag == "no6" ? 5 : 6;
  for (int j = keep; j < 6; ++j) k[j] = 0.0;
  return k;
}

// Concentrations of the precursor and the bins at every record (RK4 in
// steps of kStep / 10).
inline std::vector<std::array<double, 7>> simulate(const std::array<double, 6>& k, double kp,
                                                   const std::array<double, 6>& yield) {
  auto slope = [&](const std::array<double, 7>& c) {
    std::array<double, 7> d{};
    d[0] = -kp * c[0];
    for (int j = 1; j <= 6; ++j) {
      d[j] = yield[j - 1] * kp * c[0] - k[j - 1] * c[j] + (j < 6 ? k[j] * c[j + 1] : 0.0);
    }
    return d;
  };
  std::vector<std::array<double, 7>> out;
  std::array<double, 7> c = {100, 2, 4, 6, 8, 10, 12};
  const double h = kStep / 10;
  for (int r = 0; r < kRecords; ++r) {
    out.push_back(c);
    for (int s = 0; s < 10; ++s) {
      auto step = [&](const std::array<double, 7>& base, const std::array<double, 7>& d, double f) {
        std::array<double, 7> n{};
        for (int i = 0; i < 7; ++i) n[i] = base[i] + f * d[i];
        return n;
      };
      const auto k1 = slope(c), k2 = slope(step(c, k1, h / 2)), k3 = slope(step(c, k2, h / 2)),
                 k4 = slope(step(c, k3, h));
      for (int i = 0; i < 7; ++i) c[i] += h / 6 * (k1[i] + 2 * k2[i] + 2 * k3[i] + k4[i]);
    }
  }
  return out;
}

// One configuration: `truth` simulated, `noise` a share of each bin's
// largest rate of change, fitted under `tag`.
inline Fitted fit(const std::string& species, const std::string& scenario, const std::string& tag,
                  const std::string& truth, double noise, unsigned seed, double yield_scale = 1.0) {
  const double kp = 5e-5;
  std::array<double, 6> yield = {0.02, 0.04, 0.06, 0.08, 0.1, 0.12};
  for (double& y : yield) y *= yield_scale;
  const auto conc = simulate(rates(truth), kp, yield);
  const auto k = rates(tag);
  std::mt19937 random(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);

  Fitted f;
  report::PageData& c = f.page;
  c.species = species;
  c.scenario = scenario;
  c.tag = tag;
  c.rates.kp = kp;
  for (int j = 0; j < 6; ++j) c.rates.k[j] = k[j];
  c.inputs = config::input_paths(species, scenario);
  c.results = config::results_path(species, scenario, tag);
  for (int j = 0; j < 6; ++j) c.molar_masses[j] = 150.0 + 20.0 * j;
  for (int r = 0; r < kRecords; ++r) c.time.push_back(kStep * r);

  // The design: the precursor's loss rate and each bin's ageing rate, at
  // the middle of every interval.
  std::vector<double> a(kRows * 7);
  for (int i = 0; i < kRows; ++i) {
    const double p = (conc[i][0] + conc[i + 1][0]) / 2;
    a[i] = kp * p;
    for (int j = 1; j <= 6; ++j) a[j * kRows + i] = k[j - 1] * (conc[i][j] + conc[i + 1][j]) / 2;
  }
  const std::vector<double> lower(7, -10.0), upper(7, 10.0);
  c.known_species = config::find_species(species) != nullptr;
  f.row = {species, scenario, tag, "succeeded", "", c.known_species, true, true, {}};
  f.row.reactions = report::reactions_of(k);
  f.notes.version = "0.1.0";
  f.notes.command = "vbsfit-batch --plan study.plan -j 2";
  f.notes.date = "2026-12-07T16:55:54Z";
  f.notes.host = "node-1";
  for (int target = 1; target <= 6; ++target) {
    std::vector<double> b(kRows);
    double largest = 0.0;
    for (int i = 0; i < kRows; ++i) {
      b[i] = (conc[i + 1][target] - conc[i][target]) / kStep;
      largest = std::max(largest, std::fabs(b[i]));
    }
    for (double& v : b) v += noise * largest * gauss(random);
    // Least squares over the columns that are not zero.
    std::vector<int> used;
    for (int col = 0; col < 7; ++col) {
      bool nonzero = false;
      for (int i = 0; i < kRows && !nonzero; ++i) nonzero = a[col * kRows + i] != 0.0;
      if (nonzero) used.push_back(col);
    }
    // Columns scaled to unit length, and those that add less than 1e-7 of
    // it left out (the basic solution), so that nearly dependent columns do
    // not get huge coefficients that cancel each other.
    Eigen::MatrixXd m(kRows, used.size());
    for (std::size_t u = 0; u < used.size(); ++u) {
      for (int i = 0; i < kRows; ++i) m(i, u) = a[used[u] * kRows + i];
    }
    const Eigen::VectorXd norms = m.colwise().norm();
    for (std::size_t u = 0; u < used.size(); ++u) m.col(u) /= norms(u);
    Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(m);
    qr.setThreshold(1e-7);
    Eigen::VectorXd solution = qr.solve(Eigen::Map<const Eigen::VectorXd>(b.data(), kRows));
    for (std::size_t u = 0; u < used.size(); ++u) solution(u) /= norms(u);
    std::vector<double> x(7, 0.0), low(7, 0.0);  // a column left out stays at its bound
    for (std::size_t u = 0; u < used.size(); ++u) {
      x[used[u]] = solution(u);
      low[used[u]] = lower[used[u]];
    }
    const quality::Problem problem{kRows, 7, a, b, x, low, upper};
    c.bins.push_back(report::bin_series(problem, target, quality::assess(problem, quality::design_of(problem.rows, problem.cols, problem.a), quality::kDefaultSeLimit)));
    const quality::Fit& q = c.bins.back().fit;
    double lag = 0.0, sum = 0.0;
    for (int i = 0; i < kRows; ++i) {
      sum += q.residual[i] * q.residual[i];
      if (i > 0) lag += q.residual[i] * q.residual[i - 1];
    }
    const double rho = sum > 0 ? lag / sum : std::nan("");
    f.notes.bins.push_back({rho, rho > 0.2, q.drift});
    quality::BinFigures& figures = f.row.bins[target - 1];
    figures.rss = q.rss;
    figures.r_squared = q.r_squared;
    figures.free_count = q.free_count;
    figures.autocorrelation = rho;
    figures.drift = q.drift;
    figures.misfit = rho > 0.2;
    for (int col = 0; col < 7; ++col) {
      figures.coefficient[col] = c.bins.back().reported[col];
      figures.coefficients[col] = q.coefficients[col];
    }
  }
  // The stored bins, and the fit run alone over them.
  std::vector<double> precursor, reported;
  for (const auto& record : conc) {
    precursor.push_back(record[0]);
    c.stored_bins.insert(c.stored_bins.end(), record.begin() + 1, record.end());
  }
  for (const report::BinSeries& bin : c.bins) reported.insert(reported.end(), bin.reported.begin(), bin.reported.end());
  const std::array<double, 7> rate_row = {kp, k[0], k[1], k[2], k[3], k[4], k[5]};
  c.replay = quality::replay({c.time, precursor, c.stored_bins, rate_row}, reported, c.molar_masses);
  for (std::size_t r = 0; r < c.replay.bin.size(); ++r) f.row.bins[r].replay_error = c.replay.bin[r].max_error;
  return f;
}

// A study of species x scenarios x the four tags; species n's data are made
// under the tag kTags[n % 4], noise grows with the scenario's position.
inline constexpr const char* kTags[] = {"static", "no56", "no6", "allgas"};

struct SampleStudy {
  report::Study study;
  std::vector<Fitted> fits;
};

inline SampleStudy sample_study(const std::vector<std::string>& species,
                                const std::vector<std::string>& scenarios) {
  SampleStudy s;
  unsigned seed = 1;
  for (std::size_t n = 0; n < species.size(); ++n) {
    for (std::size_t sc = 0; sc < scenarios.size(); ++sc) {
      // The first scenario's data as exact as a results file's digits.
      const double noise = sc == 0 ? 1e-6 : sc == 1 ? 0.001 : 0.01;
      for (const char* tag : kTags) {
        s.fits.push_back(fit(species[n], scenarios[sc], tag, kTags[(n + 3) % 4], noise, seed++,
                             1.0 + 0.15 * sc + 0.1 * n));
        s.study.rows.push_back(s.fits.back().row);
      }
    }
  }
  s.study.batches.push_back({"0.1.0", "vbsfit-batch --plan study.plan -j 2", "2026-12-07T16:55:54Z",
                             "2026-12-07T16:56:20Z", "node-1", "study.plan"});
  return s;
}

}  // namespace fixture
