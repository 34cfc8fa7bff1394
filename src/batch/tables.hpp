// The report directory of vbsfit-batch and its tables:
//
//   runs.csv           one row per configuration of the run set (or shard)
//   coefficients.csv   one row per fitted configuration, target bin and term
//   fits.csv           one row per fitted configuration and target bin
//   batch.txt          which share of which run set the tables hold
//   index.html         the report's pages, one more per fitted configuration
//                      (batch/pages.hpp)
//   runs/<species>/<scenario>/<tag>/   stdout, stderr (when the run wrote to
//                      it) and fit.dump of a run
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "batch/csv.hpp"
#include "batch/outcome.hpp"
#include "batch/run_set.hpp"

namespace batch {

inline constexpr const char* kRunsTable = "runs.csv";
inline constexpr const char* kCoefficientsTable = "coefficients.csv";
inline constexpr const char* kFitsTable = "fits.csv";
inline constexpr const char* kManifest = "batch.txt";
inline constexpr const char* kRunsDirectory = "runs";
inline constexpr const char* kStdoutName = "stdout";
inline constexpr const char* kStderrName = "stderr";
inline constexpr const char* kIndexPage = "index.html";
// Held by the batch that writes the report (see vbsfit-batch's run mode).
inline constexpr const char* kLockFile = ".vbsfit-batch.lock";

// The directory of a configuration's files in the report.
std::string run_directory(const std::string& report, const Configuration& config);

// The tables' rows, without their header rows.
struct Tables {
  std::vector<CsvRow> runs;
  std::vector<CsvRow> coefficients;
  std::vector<CsvRow> fits;
};
const CsvRow& runs_header();
const CsvRow& coefficients_header();
const CsvRow& fits_header();
// The index of the column `name` of runs.csv.
std::size_t runs_column(std::string_view name);

// The rows of a batch: entries and outcomes side by side.
Tables table_rows(const std::vector<RunEntry>& entries, const std::vector<Outcome>& outcomes);

// Writes the three tables into `report`, each replacing its old version only
// once complete. Returns why one could not be written, or empty.
std::string write_tables(const std::string& report, const Tables& tables);

// What batch.txt says: the tables hold share `shard` of a run set of `total`
// configurations whose fingerprint is `fingerprint`, flagged under `se_limit`.
struct Manifest {
  Shard shard;
  int total = 0;
  std::uint64_t fingerprint = 0;
  double se_limit = quality::kDefaultSeLimit;
};
std::string manifest_text(const Manifest& manifest);
// Returns why `text` is not a manifest, or empty with `manifest` filled.
std::string parse_manifest(const std::string& text, Manifest& manifest);

}  // namespace batch
