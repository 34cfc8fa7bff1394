// The summary vbsfit-batch ends with, made from the rows runs.csv is made
// from (tables.hpp's RunRowSource), so that a batch and a merge of shards
// say the same about the same study.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "batch/csv.hpp"
#include "batch/outcome.hpp"
#include "batch/tables.hpp"

namespace batch {

// The summary made row by row, so that it holds no more of a study of any
// size than its counts and the lines it lists.
class Summary {
 public:
  void add(const RunRowSource& row);
  // The tally of the rows added.
  const Tally& tally() const { return tally_; }
  // The lines (see summarize).
  std::string text(const Tally& tally, const std::string& shown, int stop_signal,
                   double misfit_limit) const;

 private:
  static constexpr int kListedProblems = 20;  // failures and notes; runs.csv has the rest
  static constexpr int kListedSurplus = 10;   // inputs longer than a fit reads
  void add_problem(const RunRowSource& row);

  Tally tally_;

  std::string problems_;
  int listed_ = 0, unlisted_ = 0;
  std::map<std::string, int> unknown_;  // species not in the table, and their count
  int with_figures_ = 0, undetermined_in_ = 0, undetermined_ = 0;
  int misfit_bins_ = 0, misfit_in_ = 0;
  std::set<std::string> replaced_;
  int surplus_ = 0;
  std::string surplus_named_;
};

// The summary's lines for standard error of `entries` with their
// `outcomes` (their species' rates), as a batch makes it. `tally` counts
// the outcomes;
// `stop_signal` is the signal that stopped the batch, or 0. `shown` is what
// the last line points the reader to: the report's index page, or the
// directory itself when it has no pages. `misfit_limit` is the one the
// rows' misfit bins were flagged under.
std::string summarize(const Tally& tally, const std::vector<RunEntry>& entries,
                      const std::vector<Outcome>& outcomes,
                      const std::string& shown, int stop_signal,
                      double misfit_limit = quality::kDefaultMisfitLimit);

}  // namespace batch
