// The report directory of vbsfit-batch, file by file:
//
//   runs.csv           one row per configuration of the run set (or shard)
//   coefficients.csv   one row per fitted configuration, target bin and term
//   fits.csv           one row per fitted configuration and target bin
//   models.csv         the tags compared, per species and scenario fitted
//                      under more than one (batch/study_index.hpp)
//   species.csv        the rows of --species-table that the run set used
//                      (batch/species_table.hpp)
//   study.sqlite       the study's record (study/study.hpp), from which the
//                      tables and pages are written at the end of each batch;
//                      SQLite keeps study.sqlite-wal and -shm beside it
//   index.html         the report's pages, one more per fitted configuration
//                      (<species>,<scenario>,<tag>.html: report::page_name;
//                      batch/pages.hpp)
//   compare.csv        two fits compared coefficient by coefficient, and
//   compare.html       its page (vbsfit-batch --compare: batch/compare.hpp)
//   runs/<species>,<scenario>,<tag>.stdout and .stderr (when the run wrote
//                      to it): what a run printed, named as its page is
//   .vbsfit-batch.lock held by the batch that writes the report
//
// Reports of earlier versions also held batch.txt and, per run,
// runs/<species>/<scenario>/<tag>/ with stdout, stderr and fit.dump.
//
// These are the report's own files: a batch or a merge writes and removes
// them and nothing else, and only in a directory that is a report
// (batch/report_dir.hpp).
//
// runs.csv is written last, after every other table and the index, and
// removed when a batch begins: a report with runs.csv is whole, and its
// tables are the study as recorded.
#pragma once

#include <string>

#include "batch/run_set.hpp"
#include "report/report.hpp"

namespace batch {

inline constexpr const char* kRunsTable = "runs.csv";
inline constexpr const char* kCoefficientsTable = "coefficients.csv";
inline constexpr const char* kFitsTable = "fits.csv";
inline constexpr const char* kModelsTable = "models.csv";
inline constexpr const char* kIndexPage = "index.html";
inline constexpr const char* kCompareTable = "compare.csv";
inline constexpr const char* kComparePage = "compare.html";
inline constexpr const char* kRunsDirectory = "runs";
inline constexpr const char* kStdoutSuffix = ".stdout";
inline constexpr const char* kStderrSuffix = ".stderr";
// What reports before the study's record kept of each run's fit; removed
// when such a report is taken over.
inline constexpr const char* kOldFitDumpName = "fit.dump";
// Held by the batch that writes the report (see vbsfit-batch's run mode).
inline constexpr const char* kLockFile = ".vbsfit-batch.lock";

// Where a configuration's output is kept in the report: this and a suffix.
// One directory holds every run's output, so a run makes no directory of
// its own (a directory costs a file system more than a file).
inline std::string run_output(const std::string& report, const Configuration& config) {
  return report + "/" + kRunsDirectory + "/" +
         report::file_stem(config.species, config.scenario, config.tag);
}

}  // namespace batch
