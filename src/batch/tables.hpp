// The tables of vbsfit-batch's report (batch/report_layout.hpp names the
// files). Each table's columns are one array of {name, value, help}: the
// header, every row, the look-ups by name and the --help list of columns are
// all made from it, so a column is spelled once.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "batch/csv.hpp"
#include "batch/files.hpp"
#include "batch/outcome.hpp"
#include "batch/report_layout.hpp"
#include "batch/run_set.hpp"
#include "config/config.hpp"
#include "quality/models.hpp"

namespace batch {

// What a row of each table is made from.
struct RunRowSource {
  const RunEntry& entry;
  const Outcome& outcome;
  config::RateConstants rates;  // of its species and tag
};
struct CoefficientRowSource {
  const Configuration& config;
  int bin;   // 1 ... 6
  int term;  // 0 (VOC) ... 6
  const quality::BinFigures& fit;
};
struct FitRowSource {
  const Configuration& config;
  int bin;  // 1 ... 6
  const quality::BinFigures& figures;
};
// The replay of a fit's bins' total and of its total weighted by the mean
// molar masses.
struct ReplayTotals {
  quality::ReplayError total, mass;
};

struct ModelRowSource {
  const std::string& species;
  const std::string& scenario;
  const quality::Candidate& candidate;  // one tag's fit
  const quality::Score& score;
  bool preferred;
  ReplayTotals replay;
};

template <typename Source>
struct Column {
  std::string_view name;
  std::string (*value)(const Source&);
  // How --help lists the column; empty when the column before stands for it
  // (k1 for k1...k6) or the table's description already says it.
  std::string_view help;
  // A column of text (names, messages, paths, flags), which the CSV keeps
  // from being taken for a formula; numbers are not text.
  bool text = false;
};
inline constexpr bool kText = true;

// The text columns as the CSV writer takes them.
template <typename Source, std::size_t N>
constexpr TextFields text_fields(const std::array<Column<Source>, N>& columns) {
  static_assert(N <= 64);
  TextFields fields = 0;
  for (std::size_t n = 0; n < N; ++n) {
    if (columns[n].text) fields |= TextFields{1} << n;
  }
  return fields;
}

// The index of the column `name`, found while compiling: a name that is not
// a column does not compile.
template <typename Source, std::size_t N>
consteval std::size_t column_index(const std::array<Column<Source>, N>& columns,
                                   std::string_view name) {
  for (std::size_t n = 0; n < N; ++n) {
    if (columns[n].name == name) return n;
  }
  throw "no column of this name";  // not a constant expression
}

namespace column_values {
std::string yes_no(bool value);
template <int J>
std::string rate(const RunRowSource& r) {
  return csv_number(r.rates.k[J - 1]);
}
template <int J>
std::string molar_mass(const RunRowSource& r) {
  return r.outcome.numbers ? csv_number(r.outcome.numbers->avgwmol[J - 1]) : std::string();
}
// A replay figure of the fit: `largest` its largest error, else its RMS error.
template <quality::ReplayError FitNumbers::*figures, bool largest>
std::string replay(const RunRowSource& r) {
  if (!r.outcome.numbers) return {};
  const quality::ReplayError& e = (*r.outcome.numbers).*figures;
  return csv_number(largest ? e.max_error : e.rms_error);
}
}  // namespace column_values

inline constexpr std::array<Column<RunRowSource>, 31> kRunsColumns = {{
    {"run", [](const RunRowSource& r) { return std::to_string(r.entry.number); },
     "run (its place in the run set)"},
    {"species", [](const RunRowSource& r) { return r.entry.config.species; }, "species", kText},
    {"scenario", [](const RunRowSource& r) { return r.entry.config.scenario; }, "scenario", kText},
    {"tag", [](const RunRowSource& r) { return r.entry.config.tag; }, "tag", kText},
    {"known_species",
     [](const RunRowSource& r) {
       return column_values::yes_no(r.entry.species.known());
     },
     "known_species", kText},
    {"state", [](const RunRowSource& r) { return std::string(state_name(r.outcome.state)); },
     "state (succeeded, kept, failed, interrupted, pending, stale)", kText},
    {"exit_status",
     [](const RunRowSource& r) {
       return r.outcome.exit_status ? std::to_string(*r.outcome.exit_status) : std::string();
     },
     "exit_status"},
    {"message", [](const RunRowSource& r) { return r.outcome.message; },
     "message (first line, or a note)", kText},
    {"results_path",
     [](const RunRowSource& r) {
       const Configuration& c = r.entry.config;
       return config::results_path(c.species, c.scenario, c.tag);
     },
     "results_path (below the working directory)", kText},
    {"kp", [](const RunRowSource& r) { return csv_number(r.rates.kp); }, "kp"},
    {"k1", column_values::rate<1>, "k1...k6"},
    {"k2", column_values::rate<2>, ""},
    {"k3", column_values::rate<3>, ""},
    {"k4", column_values::rate<4>, ""},
    {"k5", column_values::rate<5>, ""},
    {"k6", column_values::rate<6>, ""},
    {"wmol1", column_values::molar_mass<1>, "wmol1...wmol6 (mean molar masses)"},
    {"wmol2", column_values::molar_mass<2>, ""},
    {"wmol3", column_values::molar_mass<3>, ""},
    {"wmol4", column_values::molar_mass<4>, ""},
    {"wmol5", column_values::molar_mass<5>, ""},
    {"wmol6", column_values::molar_mass<6>, ""},
    {"undetermined",
     [](const RunRowSource& r) {
       const std::optional<FitCounts> counts = fit_counts(r.outcome);
       return counts ? std::to_string(counts->undetermined) : std::string();
     },
     "undetermined (count of undetermined coefficients)"},
    {"seconds", [](const RunRowSource& r) { return csv_number(r.outcome.seconds); }, "seconds"},
    {"species_source",
     [](const RunRowSource& r) {
       return std::string(source_name(r.entry.species.source));
     },
     "species_source (built-in, file, file-replaces-built-in, default)", kText},
    {"input_records",
     [](const RunRowSource& r) {
       return r.outcome.input_records > 0 ? std::to_string(r.outcome.input_records)
                                          : std::string();
     },
     "input_records (the records of the longest input file, when more than 1441: the fit "
     "used the first 1441)"},
    {"misfit",
     [](const RunRowSource& r) {
       const std::optional<FitCounts> counts = fit_counts(r.outcome);
       return counts ? std::to_string(counts->misfit) : std::string();
     },
     "misfit (count of misfit target bins)"},
    {"replay_total_error", column_values::replay<&FitNumbers::replay_total, true>,
     "replay_total_error (the fit replayed: the largest error of the bins' total over its "
     "peak)"},
    {"replay_total_rms_error", column_values::replay<&FitNumbers::replay_total, false>,
     "replay_total_rms_error (its RMS error over its mean)"},
    {"replay_mass_error", column_values::replay<&FitNumbers::replay_mass, true>,
     "replay_mass_error and replay_mass_rms_error (the same of the total weighted by the mean "
     "molar masses; empty without molar masses)"},
    {"replay_mass_rms_error", column_values::replay<&FitNumbers::replay_mass, false>, ""},
}};

inline constexpr std::array<Column<CoefficientRowSource>, 13> kCoefficientsColumns = {{
    {"species", [](const CoefficientRowSource& r) { return r.config.species; }, "", kText},
    {"scenario", [](const CoefficientRowSource& r) { return r.config.scenario; }, "", kText},
    {"tag", [](const CoefficientRowSource& r) { return r.config.tag; }, "", kText},
    {"target_bin", [](const CoefficientRowSource& r) { return std::to_string(r.bin); }, ""},
    {"term", [](const CoefficientRowSource& r) { return config::term_label(r.term); }, "", kText},
    {"coefficient",
     [](const CoefficientRowSource& r) { return csv_number(r.fit.coefficient[r.term]); },
     "coefficient as reported"},
    {"lower", [](const CoefficientRowSource& r) { return csv_number(r.fit.lower[r.term]); },
     "lower"},
    {"upper", [](const CoefficientRowSource& r) { return csv_number(r.fit.upper[r.term]); },
     "upper"},
    {"at_bound",
     [](const CoefficientRowSource& r) {
       return column_values::yes_no(r.fit.coefficients[r.term].at_bound);
     },
     "at_bound", kText},
    {"standard_error",
     [](const CoefficientRowSource& r) {
       return csv_number(r.fit.coefficients[r.term].standard_error);
     },
     "standard_error"},
    {"flag",
     [](const CoefficientRowSource& r) {
       return std::string(
           quality::verdict_name(quality::verdict_of(r.fit.coefficients[r.term], r.fit.misfit)));
     },
     "flag (the verdict: trusted, undetermined, misfit, no effect)", kText},
    {"misfit",
     [](const CoefficientRowSource& r) { return column_values::yes_no(r.fit.misfit); },
     "misfit (of a misfit target bin: not to be trusted whatever its standard error)", kText},
    {"ols_standard_error",
     [](const CoefficientRowSource& r) {
       return csv_number(r.fit.coefficients[r.term].ols_standard_error);
     },
     "ols_standard_error (from s^2 (A'A)^-1 alone, for comparison)"},
}};

inline constexpr std::array<Column<FitRowSource>, 13> kFitsColumns = {{
    {"species", [](const FitRowSource& r) { return r.config.species; }, "", kText},
    {"scenario", [](const FitRowSource& r) { return r.config.scenario; }, "", kText},
    {"tag", [](const FitRowSource& r) { return r.config.tag; }, "", kText},
    {"target_bin", [](const FitRowSource& r) { return std::to_string(r.bin); }, ""},
    {"rss", [](const FitRowSource& r) { return csv_number(r.figures.rss); }, "rss"},
    {"rms", [](const FitRowSource& r) { return csv_number(r.figures.rms); }, "rms"},
    {"r_squared", [](const FitRowSource& r) { return csv_number(r.figures.r_squared); },
     "r_squared"},
    {"relative_residual",
     [](const FitRowSource& r) { return csv_number(r.figures.relative_residual); },
     "relative_residual"},
    {"autocorrelation",
     [](const FitRowSource& r) { return csv_number(r.figures.autocorrelation); },
     "autocorrelation (lag 1 of the residuals)"},
    {"misfit", [](const FitRowSource& r) { return column_values::yes_no(r.figures.misfit); },
     "misfit (drift above --misfit-limit and replay error above --replay-limit)", kText},
    {"drift", [](const FitRowSource& r) { return csv_number(r.figures.drift); },
     "drift (lag 1 of the residuals' running sum, each times its interval)"},
    {"replay_error", [](const FitRowSource& r) { return csv_number(r.figures.replay_error); },
     "replay_error (the fit replayed: the bin's largest error over its peak)"},
    {"replay_rms_error",
     [](const FitRowSource& r) { return csv_number(r.figures.replay_rms_error); },
     "replay_rms_error (its RMS error over its mean)"},
}};

inline constexpr std::array<Column<ModelRowSource>, 10> kModelsColumns = {{
    {"species", [](const ModelRowSource& r) { return r.species; }, "species", kText},
    {"scenario", [](const ModelRowSource& r) { return r.scenario; }, "scenario", kText},
    {"tag", [](const ModelRowSource& r) { return r.candidate.tag; }, "tag", kText},
    {"rss", [](const ModelRowSource& r) { return csv_number(r.score.rss); }, "rss"},
    {"aic", [](const ModelRowSource& r) { return csv_number(r.score.aic); },
     "aic (summed over the six bins: 1440 ln(RSS/1440) + 2k, k the coefficients strictly inside "
     "their bounds)"},
    {"k", [](const ModelRowSource& r) { return std::to_string(r.score.free_count); }, "k"},
    {"preferred", [](const ModelRowSource& r) { return column_values::yes_no(r.preferred); },
     "preferred (the lowest AIC; within 2, the tag with fewer reactions)", kText},
    {"worst_replay_error",
     [](const ModelRowSource& r) { return csv_number(r.score.worst_replay_error); },
     "worst_replay_error (the largest replay error of its bins)"},
    {"replay_total_error",
     [](const ModelRowSource& r) { return csv_number(r.replay.total.max_error); },
     "replay_total_error"},
    {"replay_mass_error",
     [](const ModelRowSource& r) { return csv_number(r.replay.mass.max_error); },
     "replay_mass_error"},
}};

// The header row of a table.
template <typename Source, std::size_t N>
CsvRow header_of(const std::array<Column<Source>, N>& columns) {
  CsvRow header;
  for (const Column<Source>& c : columns) header.emplace_back(c.name);
  return header;
}

// The columns as --help lists them: the help texts that are not empty,
// joined by ", ".
template <typename Source, std::size_t N>
std::string help_list(const std::array<Column<Source>, N>& columns) {
  std::string list;
  for (const Column<Source>& c : columns) {
    if (c.help.empty()) continue;
    if (!list.empty()) list += ", ";
    list += c.help;
  }
  return list;
}

const CsvRow& runs_header();
const CsvRow& coefficients_header();
const CsvRow& fits_header();
const CsvRow& models_header();

// The rows models.csv holds for one species and scenario, one per tag fitted
// (quality::compare_models chooses the preferred one); an AIC or RSS not
// known is an empty cell, an exact fit's AIC "-inf". `replays`, when given,
// holds each candidate's replay totals.
std::vector<CsvRow> models_rows(const std::string& species, const std::string& scenario,
                                std::span<const quality::Candidate> candidates,
                                std::span<const ReplayTotals> replays = {});
inline constexpr TextFields kRunsText = text_fields(kRunsColumns);
inline constexpr TextFields kCoefficientsText = text_fields(kCoefficientsColumns);
inline constexpr TextFields kFitsText = text_fields(kFitsColumns);
inline constexpr TextFields kModelsText = text_fields(kModelsColumns);

// The tables' rows, without their header rows.
struct Tables {
  std::vector<CsvRow> runs;
  std::vector<CsvRow> coefficients;
  std::vector<CsvRow> fits;
};

// The rows of a batch: entries and outcomes side by side.
Tables table_rows(const std::vector<RunEntry>& entries, const std::vector<Outcome>& outcomes);
// Adds the rows of one configuration, run with `rates`.
void add_rows(const RunEntry& entry, const Outcome& outcome, const config::RateConstants& rates,
              Tables& tables);

// Writes the three tables into `report`, each replacing its old version only
// once complete, runs.csv last: it is removed first, and `before_runs` (the
// index, say) is written after the other two, so that a report with
// runs.csv is whole. Returns why one could not be written, or empty.
std::string write_tables(const std::string& report, const Tables& tables,
                         const std::function<std::string()>& before_runs = {});

// write_tables a few rows at a time, for a study too large to hold its
// tables' rows: open() removes runs.csv and starts the three files, add()
// appends rows to them, commit() puts them in place as write_tables does
// (`before_runs` between the other two and runs.csv). Tables not committed
// are left as they were (runs.csv removed). open() and commit() return why
// one could not be written, or empty.
class TableWriter {
 public:
  explicit TableWriter(const std::string& report);
  std::string open();
  void add(const Tables& rows);
  std::string commit(const std::function<std::string()>& before_runs = {});

 private:
  std::string report_;
  AtomicFile coefficients_, fits_, runs_;
  std::string record_;  // the record being appended
};

}  // namespace batch
