// The report's view of the whole study: index.html (report::render_study)
// and models.csv (the tags compared), both made from the rows of the three
// tables as written, so that they show whatever study the tables hold.
#pragma once

#include <string>
#include <vector>

#include "batch/csv.hpp"
#include "batch/tables.hpp"
#include "report/study_view.hpp"

namespace batch {

// The study view's rows gathered from the tables' rows as they are written,
// a configuration (or a whole table) at a time: what is kept is one
// report::StudyRow per configuration, not the tables' rows, so that a
// study of any size is written without its tables in memory.
class StudyRows {
 public:
  // Adds a row for each runs row of `rows`, with the bins its fits and
  // coefficients rows there give (rows of another width are passed over).
  void add(const Tables& rows);
  // Room for `count` rows, so that the rows of a large study are not moved
  // (and held twice) as they grow.
  void reserve(std::size_t count) { rows_.reserve(count); }
  // The rows of models.csv, as models_table gives them for the tables
  // added (configurations with fits and no runs row left out).
  std::vector<CsvRow> models() const;
  // The study view of the rows, as study_of gives it; leaves none behind.
  report::Study study(const std::string& report, std::vector<report::BatchRecord> batches,
                      double se_limit, double misfit_limit);

 private:
  std::vector<report::StudyRow> rows_;  // `linked` left to study()
};

// The rows of models.csv (batch::models_rows): for every species and
// scenario that the fits table holds under more than one tag, one row per
// tag, in the order the tables list them. A bin's k counts the
// coefficients of coefficients.csv that are not at a bound.
std::vector<CsvRow> models_table(const Tables& tables);

// The study view of the tables' rows, flagged under the limits given, with
// the batches that wrote them. A configuration links to its page when the
// tables hold its fit and the page is in `report`.
report::Study study_of(const Tables& tables, const std::string& report,
                       std::vector<report::BatchRecord> batches, double se_limit,
                       double misfit_limit);

// Writes models.csv into `report` and, when `pages`, index.html of
// study_of(...). Returns why one could not be written, or empty.
std::string write_study_view(const std::string& report, const Tables& tables,
                             std::vector<report::BatchRecord> batches, double se_limit,
                             double misfit_limit, bool pages);
// The same from the rows gathered, which it uses up.
std::string write_study_view(const std::string& report, StudyRows& rows,
                             std::vector<report::BatchRecord> batches, double se_limit,
                             double misfit_limit, bool pages);

}  // namespace batch
