// Test support for the study database: records whose every value is known,
// and comparisons of doubles bit for bit.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "study/study.hpp"

namespace testsupport {

inline bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) ||
         (std::isnan(a) && std::isnan(b));  // NaN is kept as "absent", not by its bits
}

inline study::BatchRecord sample_batch(int shard_index = 1, int shard_count = 1, int size = 4) {
  study::BatchRecord b;
  b.program_version = "0.1.0";
  b.source_revision = "4f2a9c1";
  b.command_line = {"vbsfit-batch", "--species", "OLE2_OH,API_OH", "--report", "out dir"};
  b.working_directory = "/home/user/study/run";
  b.host = "node17";
  b.started = "2026-01-02T03:04:05Z";
  b.fingerprint = 0xfedcba9876543210ull;
  b.run_set_size = size;
  b.shard_index = shard_index;
  b.shard_count = shard_count;
  b.se_limit = 0.1;
  b.misfit_limit = 0.98;
  b.replay_limit = 0.05;
  b.species = {{"OLE2_OH", static_cast<double>(3.5e-11f), static_cast<double>(1.2e-12f),
                static_cast<double>(4e-13f), "standard", "file-replaces-built-in"},
               {"ideal", 1e-11, 0.0, 0.0, "ideal", ""}};  // its source not recorded
  return b;
}

// A configuration whose numbers all derive from `variant`, so that two
// variants differ in every value.
inline study::ConfigurationRecord sample_configuration(study::Key key, int run, std::int64_t batch,
                                                       int variant = 1) {
  study::ConfigurationRecord c;
  c.key = std::move(key);
  c.run = run;
  c.known_species = variant % 2 == 1;
  c.state = "succeeded";
  c.exit_status = 0;
  c.message = "variant " + std::to_string(variant);
  c.results_path = "FITS/fit6_coef." + c.key.species + "." + c.key.scenario + "." + c.key.tag;
  c.results_sha256 = std::string(64, static_cast<char>('a' + variant % 6));
  const char* names[] = {"aer.precursor", "aer.cdis_all.6", "aer.wmol_vbs.6"};
  for (int n = 0; n < 3; ++n) {
    c.inputs[n] = {std::string("../INPUTS_ODE/5days/") + names[n], 100000 + n + variant,
                   1767225600123456789 + n + variant, std::string(64, static_cast<char>('0' + n))};
  }
  c.kp = 3.5e-11 * variant;
  for (int j = 0; j < 6; ++j) {
    c.k[j] = 0.1 / 3.0 * (j + 1) * variant;
    c.wmol[j] = 150.0 + 1.0 / 7.0 * j + variant;
  }
  c.undetermined = variant;
  c.misfit = 0;
  c.seconds = 0.0123 * variant;
  c.records = 1441;
  c.batch = batch;
  c.replay_total_error = 1e-3 * variant;
  c.replay_total_rms_error = 3e-4 * variant;
  c.replay_mass_error = 1.5e-3 * variant;
  c.replay_mass_rms_error = 5e-4 * variant;
  return c;
}

inline std::vector<study::CoefficientRow> sample_coefficients(int variant = 1) {
  std::vector<study::CoefficientRow> rows;
  const char* terms[] = {"VOC", "VB1", "VB2", "VB3", "VB4", "VB5", "VB6"};
  for (int bin = 1; bin <= 6; ++bin) {
    for (int t = 0; t < 7; ++t) {
      const double x = (bin * 7 + t) / 3.0 + variant;
      rows.push_back({bin, terms[t], x, 0.0, 10000.0, t == bin, x * 1e-3,
                      t == 6 ? "no effect" : bin == 6 ? "misfit" : "trusted", x * 2e-3});
    }
  }
  return rows;
}

inline std::vector<study::FitRow> sample_fits(int variant = 1) {
  std::vector<study::FitRow> rows;
  for (int bin = 1; bin <= 6; ++bin) {
    rows.push_back({bin, 1e-20 * bin * variant, 1e-12 * bin, 0.999 - bin / 1e4,
                    1e-3 / bin, -0.5 + bin / 10.0, bin == 6, 0.9 + bin / 100.0,
                    0.01 * bin * variant, 0.003 * bin});
  }
  return rows;
}

inline study::Key key(const char* species, const char* scenario = "0.1",
                      const char* tag = "allgas") {
  return {species, scenario, tag};
}

}  // namespace testsupport
