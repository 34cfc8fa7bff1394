// The study view, index.html: what a whole study found, from plain numbers
// that the caller reads from the study's record.
//
//   totals          configurations by state; coefficients determined,
//                   undetermined, of no effect, and in misfit bins
//   not succeeded   the first kListedFailures configurations that failed
//                   (or are stale, ...) with why, and how many more
//   configurations  one row each, grouped by species; a small inline script
//                   sorts by any column and filters on any column, and
//                   without it the rows stand in the order given. Above
//                   kOpenRows configurations the groups start closed (a
//                   checkbox opens one, without the script too), so that
//                   a browser lays out a line per species until asked;
//                   the first kMessageRows configurations that say why
//                   they did not succeed show it, runs.csv has the rest
//   tags compared   per species and scenario fitted under several tags: AIC
//                   per bin and in total, and the preferred tag
//   explorer        per species (a picker) and target bin (another), per
//                   term value ± standard error across scenarios, one
//                   series per tag, and the bin's replay error per tag and
//                   scenario
//   flags           configurations x coefficients at a glance
//   provenance      every batch that wrote the study, and the tables
//
// Only the configuration table grows with the study, by about 140 bytes a
// row (10,000 configurations make an index of about 1.4 MB; failed ones,
// about 90 bytes beyond their first kMessageRows messages); everything
// else is bounded: the explorer draws every species and tag of the first
// scenarios (kExplorerScenarios, fewer down to kExplorerMinScenarios
// as the species and tags grow) while they make at most
// kExplorerConfigurations configurations, and beyond that the first
// species; the flag grid has a row per configuration
// up to kGridRows configurations and a row per species and tag beyond; the
// comparison shows every tag of at most kComparedGroups species and
// scenarios. Each says what it left out and which table holds it. Making
// the page takes time linear in the study's size.
#pragma once

#include <array>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "quality/figures.hpp"

namespace report {

inline constexpr int kOpenRows = 1000;       // groups start open up to this many configurations
inline constexpr int kFilterOpens = 500;     // rows a filter keeps that show in closed groups
inline constexpr int kListedFailures = 20;   // configurations not succeeded listed with why
inline constexpr int kMessageRows = 2000;    // rows of the configuration table that show why
// The explorer carries at most this many configurations (about 600 bytes
// each in its data block) ...
inline constexpr int kExplorerConfigurations = 320;
// ... of at most kExplorerScenarios scenarios, fewer when every species and
// tag would pass it, but not fewer than this.
inline constexpr int kExplorerMinScenarios = 3;
inline constexpr int kExplorerScenarios = 16;
inline constexpr int kGridRows = 300;
inline constexpr int kComparedGroups = 50;

// The six bins' figures of a configuration, held only once it has any: a
// study of many configurations that were not fitted keeps none of them.
// Reading bins that are not held gives the figures of a bin without any.
class HeldBins {
 public:
  using Bins = std::array<quality::BinFigures, config::kBins>;
  HeldBins() = default;
  HeldBins(const HeldBins& other) { *this = other; }
  HeldBins& operator=(const HeldBins& other) {
    held_ = other.held_ ? std::make_unique<Bins>(*other.held_) : nullptr;
    return *this;
  }
  HeldBins(HeldBins&&) noexcept = default;
  HeldBins& operator=(HeldBins&&) noexcept = default;
  HeldBins& operator=(const Bins& bins) {
    held_ = std::make_unique<Bins>(bins);
    return *this;
  }
  const quality::BinFigures& operator[](std::size_t bin) const { return bins()[bin]; }
  quality::BinFigures& operator[](std::size_t bin) { return own()[bin]; }
  Bins::const_iterator begin() const { return bins().begin(); }
  Bins::const_iterator end() const { return bins().end(); }
  Bins::iterator begin() { return own().begin(); }
  Bins::iterator end() { return own().end(); }

 private:
  const Bins& bins() const {
    static const Bins none{};
    return held_ ? *held_ : none;
  }
  Bins& own() {
    if (!held_) held_ = std::make_unique<Bins>();
    return *held_;
  }
  std::unique_ptr<Bins> held_;
};

// One configuration of the study.
struct StudyRow {
  std::string species, scenario, tag;
  std::string state;    // "succeeded", "kept", "stale", "failed", ... shown as given
  std::string message;  // first line of why it did not succeed, shown when not empty
  bool known_species = true;
  bool fitted = false;  // bins hold its figures
  bool linked = false;  // its page exists
  HeldBins bins;
  int reactions = 0;    // reactions_of the rate constants it was fitted with
};

// One batch that wrote into the study.
struct BatchRecord {
  std::string version, command, started, ended, host, run_set;
};

// Limits the study's verdicts were judged under, and how many
// configurations each judged.
struct LimitsUsed {
  double se_limit = 0.0;
  double misfit_limit = 0.0;
  double replay_limit = 0.0;  // NaN: not recorded (a batch of an earlier version)
  int configurations = 0;
};

struct Study {
  std::vector<StudyRow> rows;            // in the order the study lists them
  std::vector<std::string> scenarios;    // the order of scenarios; empty: first seen, or
                                         // numerically when every label is a number
  std::vector<BatchRecord> batches;
  double se_limit = quality::kDefaultSeLimit;
  double misfit_limit = 0.2;             // the limit the misfit flags were set with
  // Every pair of limits the configurations were judged under, most used
  // first; more than one: the page warns that they differ (p#mixed-limits).
  std::vector<LimitsUsed> limits;
};

// The index page. Hooks: p#totals with span[data-total] counts
// (configurations, succeeded, ..., determined, undetermined, no-effect,
// misfit); section#not-succeeded when any did not succeed;
// table#configurations with one tbody.species-group per species
// (data-species) whose first row is tr.group (with its input.expand
// checkbox, checked when the group starts open), th[data-column]
// [data-type="text"|"number"] headings, and one row per configuration
// (class the state when it is not succeeded or kept) whose cells follow the
// headings; table#models with tr.model rows
// (data-species, data-scenario, data-tag, data-preferred, data-aic);
// section#explorer with input[name=explorer-species] and
// input[name=explorer-bin] radio buttons, one div.explorer-species
// (data-species) per species drawn, in it one div.explorer-bin (data-bin)
// per target bin with table.replay-errors (td[data-replay-error]) or
// p.replay-errors when none is recorded, and one figure.explorer per term
// (data-bin, data-term) holding per tag path.series[data-series="species
// tag"] and path.points.hollow / .filled (one closed shape per point); table#flags; table#batches; and the links
// a.table to runs.csv, coefficients.csv, fits.csv, models.csv and
// study.sqlite. The script sorts and filters these same elements.
std::string render_study(const Study& study);

// The order the explorer puts scenarios in: `given` first (those that
// occur), then the rest as first seen; when `given` is empty and every
// label is a number, ascending by value.
std::vector<std::string> scenario_order(const std::vector<std::string>& seen,
                                        const std::vector<std::string>& given);

// The rate constants K(1 ... 6) that are not zero: what ranks tags by size
// in the comparison (with nonzero rows: static 0, no56 4, no6 5, allgas 6).
int reactions_of(std::span<const double, config::kBins> k);

}  // namespace report
