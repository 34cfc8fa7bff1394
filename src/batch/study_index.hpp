// The report's view of the whole study: index.html (report::render_study)
// and models.csv (the tags compared), both made from the rows the tables
// are made from (tables.hpp's RunRowSource), so that they show whatever
// study the tables hold.
#pragma once

#include <functional>
#include <cmath>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "batch/csv.hpp"
#include "batch/tables.hpp"
#include "quality/models.hpp"
#include "report/study_view.hpp"
#include "study/study.hpp"

namespace batch {

// The study view's rows gathered as the tables' rows are made, a
// configuration at a time: what is kept is one report::StudyRow per
// configuration, so that a study of any size is written without its tables
// in memory.
// Orders limits (se, misfit, replay) with a replay limit not recorded (NaN)
// before every recorded one and equal to another such.
struct LimitsOrder {
  bool operator()(const std::tuple<double, double, double>& a,
                  const std::tuple<double, double, double>& b) const {
    const auto key = [](const std::tuple<double, double, double>& l) {
      const double replay = std::get<2>(l);
      return std::tuple(std::get<0>(l), std::get<1>(l), !std::isnan(replay),
                        std::isnan(replay) ? 0.0 : replay);
    };
    return key(a) < key(b);
  }
};

class StudyRows {
 public:
  // Adds the row of one configuration, with its bins when it has numbers.
  void add(const RunRowSource& row);
  // Room for `count` rows, so that the rows of a large study are not moved
  // (and held twice) as they grow.
  void reserve(std::size_t count) {
    rows_.reserve(count);
    replays_.reserve(count);
  }
  // Counts a fitted configuration judged under these limits (replay_limit
  // NaN: not recorded).
  void count_limits(double se_limit, double misfit_limit, double replay_limit) {
    ++limits_[{se_limit, misfit_limit, replay_limit}];
  }
  // The rows of models.csv: for every species and scenario fitted under more
  // than one tag, one row per tag (models_rows), in the order added.
  std::vector<CsvRow> models() const;
  // The same comparison as the study's models rows, one per row of
  // models.csv.
  std::vector<std::pair<study::Key, study::ModelRow>> model_records() const;
  // The study view of the rows, flagged under the limits given, with the
  // batches that wrote them; a configuration links to its page when it has
  // numbers and the page is in `report`. Leaves no rows behind.
  report::Study study(const std::string& report, std::vector<report::BatchRecord> batches,
                      double se_limit, double misfit_limit);

 private:
  // Calls `visit` with each species and scenario fitted under more than one
  // tag: its tags, the replays of their totals and their comparison.
  void compare_tags(const std::function<void(const std::string&, const std::string&,
                                             const std::vector<quality::Candidate>&,
                                             const std::vector<ReplayTotals>&,
                                             const quality::Comparison&)>& visit) const;
  std::vector<report::StudyRow> rows_;  // `linked` left to study()
  // Beside each row: the replay of its fit's bins' total and mass.
  std::vector<ReplayTotals> replays_;
  // (se, misfit, replay limit) -> configurations judged under them; a NaN
  // replay limit (not recorded) compares as the same key through the
  // ordering below.
  std::map<std::tuple<double, double, double>, int, LimitsOrder> limits_;
};

// The rows of `entries` with their `outcomes` (their species' rates), as
// a batch's tables are made of them.
StudyRows study_rows(const std::vector<RunEntry>& entries, const std::vector<Outcome>& outcomes);

// Writes models.csv into `report` and, when `pages`, index.html of the rows
// gathered, which it uses up. Returns why one could not be written, or
// empty.
std::string write_study_view(const std::string& report, StudyRows& rows,
                             std::vector<report::BatchRecord> batches, double se_limit,
                             double misfit_limit, bool pages);

}  // namespace batch
