// The study's record seen from the batch: the batches row of a batch, the
// run numbers its configurations keep in the study, the report written from
// one read of the study, and the taking over of a report written before
// the study's record.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "batch/analysis.hpp"
#include "batch/options.hpp"
#include "batch/outcome.hpp"
#include "batch/run_set.hpp"
#include "batch/summary.hpp"
#include "batch/species_table.hpp"
#include "report/study_view.hpp"
#include "study/study.hpp"

namespace batch {

// The batches row of a batch run with `args` over `share`, share `shard` of
// the run set `entries`, flagged under `se_limit` and judged by
// `misfit_limit` and `replay_limit`.
study::BatchRecord batch_record(const std::vector<std::string>& args, const BuildFacts& build,
                                const Shard& shard, const std::vector<RunEntry>& entries,
                                const std::vector<RunEntry>& share, double se_limit,
                                double misfit_limit, double replay_limit);

// What a batch reads of the study's record as it begins: the batches, each
// configuration's place in the study's order, and the records that may
// stand for their files without a refit: fitted (succeeded or kept) with
// their numbers, under these flags' limits (under others, a refit flags the
// numbers anew), and intact (their rows match their record_sha256). Only
// the configurations' records are kept, not their rows. It also says which
// configurations are recorded in a state other than succeeded or kept:
// their output in the report, if any, is not that of a run that wrote
// their results file.
struct StudyStart {
  std::vector<study::BatchRecord> batches;
  std::map<study::Key, int> places;  // its run
  std::map<study::Key, study::ConfigurationRecord> standing;
  std::set<study::Key> not_fitted;
};
study::Error read_start(study::Study& db, double se_limit, double misfit_limit,
                        double replay_limit, StudyStart& start);

// The entries of `share` numbered by the study's `places`: a configuration
// it holds keeps its place, a new one takes its place in the run set when
// that is free, else the next after the study's last, so that a batch of a
// few configurations leaves the study's order as it was.
std::vector<RunEntry> study_numbers(const std::vector<RunEntry>& share,
                                    const std::map<study::Key, int>& places);

// The numbers recorded of the configuration `key` (as numbers_of gives
// them), read from `db`; nullopt when it holds none or cannot be read.
std::optional<FitNumbers> recorded_numbers(study::Study& db, const study::Key& key);

// Writes the report of the whole study in `db` (as of one read): the
// tables, species.csv (`species_used`, when not empty), and with `pages` the
// missing pages (inputs read below `workdir`) and the index, runs.csv last;
// without `pages`, the index and every page are removed from the report.
// Every view is made from the same rows, each configuration's read once
// from the study as the tables are written, a configuration at a time; what
// stays in memory is a row of the index per configuration. `summary` (when
// given) is made from those rows too. Returns why it could not be written
// whole, or empty; `undrawn` (when given) names the configurations with
// numbers whose pages could not be drawn, and why.
std::string write_study_report(study::Study& db, const std::string& report,
                               const std::string& workdir, const std::string& species_used,
                               bool pages, const AnalysisSettings& settings,
                               std::vector<std::string>* undrawn = nullptr,
                               Summary* summary = nullptr);

// Adds every configuration of the study in `db` to `summary`, as
// write_study_report does: for a report that could not be written.
study::Error summarize_study(study::Study& db, Summary& summary);

// A batch as the study view shows it.
// The facts of batch `b` that sign the pages of the fits it made.
report::PageNotes page_signature(const study::BatchRecord& b);

report::BatchRecord shown_batch(const study::BatchRecord& batch);

// What take_over made of an earlier report's runs.csv.
struct TakenOver {
  std::vector<RunEntry> entries;  // the configurations recorded beside the share
  std::vector<Outcome> outcomes;
  std::map<study::Key, int> places;  // the run of every row taken, the share's too
  std::vector<std::string> dropped;  // the rows not taken, each with where and why
};

// Takes over a report written before the study's record (tables, no
// database): every configuration its runs.csv lists beyond `share` is
// checked (kept or stale) and handed to `record`, and the runs' fit.dump
// files, which nothing reads any more, are removed. A row is not taken when
// its names fail the run set's checks, or when its run, its configuration
// or its results file is an earlier row's (or, for the results file, one of
// the share's). A configuration kept whose row said it did not succeed loses
// its run's output from the report: it is not that of its results file.
// Each takes the row `species`, the batch's table, chooses for it.
TakenOver take_over(const std::string& report, const std::string& workdir,
                    const std::vector<RunEntry>& share, const SpeciesTable& species, bool pages,
                    const AnalysisSettings& settings,
                    const std::function<void(const RunEntry&, Outcome&)>& record);

}  // namespace batch
