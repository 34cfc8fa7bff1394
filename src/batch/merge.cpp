#include "batch/merge.hpp"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "batch/files.hpp"
#include "batch/report_layout.hpp"

namespace batch {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kRun = column_index(kRunsColumns, "run");
constexpr std::size_t kRunsSpecies = column_index(kRunsColumns, "species");
constexpr std::size_t kCoefficientsSpecies = column_index(kCoefficientsColumns, "species");
constexpr std::size_t kFitsSpecies = column_index(kFitsColumns, "species");
// Every table holds a configuration's names side by side, in this order.
static_assert(column_index(kRunsColumns, "tag") == kRunsSpecies + 2);
static_assert(column_index(kCoefficientsColumns, "tag") == kCoefficientsSpecies + 2);
static_assert(column_index(kFitsColumns, "tag") == kFitsSpecies + 2);

// The configuration of a row whose species, scenario and tag start at
// column `first`.
Configuration configuration_of(const CsvRow& row, std::size_t first) {
  return {row[first], row[first + 1], row[first + 2]};
}

// The tables of the shares read so far, and where each run's files are.
struct Joined {
  Manifest study;
  std::map<int, std::string> shard_of_index;  // shard index -> its report
  std::vector<CsvRow> runs, coefficients, fits;
  std::vector<std::pair<std::string, Configuration>> files;  // each run's report and configuration
};

// The rows of one of a shard's tables, checked against the header this
// program writes. Returns the refusal, or empty.
std::string read_table(const std::string& shard, const char* name, const CsvRow& header,
                       std::vector<CsvRow>& rows) {
  const fs::path path = fs::path(shard) / name;
  std::string text;
  if (!read_whole_file(path.string(), text)) {
    return "cannot read " + path.string() + ": " + std::strerror(errno);
  }
  std::vector<CsvRow> records;
  if (std::string error = parse_csv(text, records); !error.empty()) {
    return path.string() + ": " + error;
  }
  if (records.empty() || records.front() != header) {
    return path.string() + " does not have the columns this vbsfit-batch writes";
  }
  for (std::size_t n = 1; n < records.size(); ++n) {
    if (records[n].size() != header.size()) {
      return path.string() + ": record " + std::to_string(n + 1) + " has " +
             std::to_string(records[n].size()) + " fields, not " + std::to_string(header.size());
    }
    rows.push_back(std::move(records[n]));
  }
  return {};
}

// Reads the manifest of `shard` and checks it against the shares read so
// far. Returns the refusal, or empty with the share counted.
std::string read_manifest(const std::string& shard, Joined& joined) {
  std::string text;
  Manifest manifest;
  if (!read_whole_file((fs::path(shard) / kManifest).string(), text)) {
    return shard + " is not a report of vbsfit-batch (no " + kManifest + ")";
  }
  if (std::string why = parse_manifest(text, manifest); !why.empty()) {
    return shard + "/" + kManifest + ": " + why;
  }
  const Manifest& study = joined.study;
  if (joined.shard_of_index.empty()) {
    joined.study = manifest;
  } else if (manifest.total != study.total || manifest.fingerprint != study.fingerprint ||
             manifest.shard.count != study.shard.count) {
    return shard + " holds a share of another run set than " +
           joined.shard_of_index.begin()->second;
  } else if (manifest.se_limit != study.se_limit) {
    return shard + " was flagged with --se-limit " + csv_number(manifest.se_limit) + ", " +
           joined.shard_of_index.begin()->second + " with " + csv_number(study.se_limit);
  } else if (manifest.misfit_limit != study.misfit_limit) {
    return shard + " was flagged with --misfit-limit " + csv_number(manifest.misfit_limit) +
           ", " + joined.shard_of_index.begin()->second + " with " +
           csv_number(study.misfit_limit);
  }
  auto [at, added] = joined.shard_of_index.emplace(manifest.shard.index, shard);
  if (!added) {
    return shard + " and " + at->second + " hold the same share " +
           std::to_string(manifest.shard.index) + "/" + std::to_string(manifest.shard.count);
  }
  return {};
}

// Reads one share's manifest and tables into `joined`. Returns the refusal,
// or empty.
std::string read_share(const std::string& shard, const std::string& report, Joined& joined) {
  std::error_code ec;
  if (fs::exists(report, ec) && fs::equivalent(shard, report, ec)) {
    return "--report " + report + " is one of the reports to join";
  }
  if (!fs::is_directory(shard, ec)) {
    return shard + " is not a directory; --merge joins the report directories of shards";
  }
  if (std::string why = read_manifest(shard, joined); !why.empty()) return why;
  for (auto [name, header, rows] :
       {std::tuple{kRunsTable, &runs_header(), &joined.runs},
        std::tuple{kCoefficientsTable, &coefficients_header(), &joined.coefficients},
        std::tuple{kFitsTable, &fits_header(), &joined.fits}}) {
    if (std::string why = read_table(shard, name, *header, *rows); !why.empty()) return why;
  }
  for (std::size_t n = joined.files.size(); n < joined.runs.size(); ++n) {
    joined.files.emplace_back(shard, configuration_of(joined.runs[n], kRunsSpecies));
  }
  return {};
}

// The refusal when a share of the study is missing, or empty.
std::string missing_shares(const Joined& joined) {
  const int count = joined.study.shard.count;
  std::string missing;
  for (int k = 1; k <= count; ++k) {
    if (joined.shard_of_index.count(k) == 0) {
      missing += (missing.empty() ? "" : ", ") + std::to_string(k) + "/" + std::to_string(count);
    }
  }
  if (missing.empty()) return {};
  return "the report of share " + missing + " is missing; give every share's report";
}

// Puts every table in run-set order: by the run number of runs.csv, which
// the other tables follow through their configuration. Returns the refusal
// when the rows do not make one run set, or empty.
std::string order_by_run(Joined& joined) {
  std::map<std::string, int> run_of;  // display_name -> run number
  for (const CsvRow& row : joined.runs) {
    const std::string name = display_name(configuration_of(row, kRunsSpecies));
    int number = 0;
    const std::string& run = row[kRun];
    auto parsed = std::from_chars(run.data(), run.data() + run.size(), number);
    if (parsed.ec != std::errc() || !run_of.emplace(name, number).second) {
      return "the configuration " + name + " comes twice, or without a run number";
    }
  }
  if (static_cast<int>(joined.runs.size()) != joined.study.total) {
    return "the shares hold " + std::to_string(joined.runs.size()) + " configurations, not the " +
           std::to_string(joined.study.total) + " of their run set";
  }
  for (auto [table, first] : {std::pair{&joined.coefficients, kCoefficientsSpecies},
                              std::pair{&joined.fits, kFitsSpecies}}) {
    for (const CsvRow& row : *table) {
      const std::string name = display_name(configuration_of(row, first));
      if (run_of.count(name) == 0) {
        return "a row of the configuration " + name + " that runs.csv does not list";
      }
    }
  }
  for (auto [table, first] : {std::pair{&joined.runs, kRunsSpecies},
                              std::pair{&joined.coefficients, kCoefficientsSpecies},
                              std::pair{&joined.fits, kFitsSpecies}}) {
    std::stable_sort(table->begin(), table->end(), [&, first = first](const CsvRow& a,
                                                                      const CsvRow& b) {
      return run_of[display_name(configuration_of(a, first))] <
             run_of[display_name(configuration_of(b, first))];
    });
  }
  return {};
}

// Copies each run's files into `report`. Returns why one could not be
// copied, or empty.
std::string copy_run_files(const Joined& joined, const std::string& report) {
  std::error_code ec;
  fs::create_directories(report, ec);
  if (ec) return "cannot create " + report + ": " + ec.message();
  for (const auto& [shard, config] : joined.files) {
    const fs::path from = run_directory(shard, config);
    if (!fs::is_directory(from, ec)) continue;  // never started
    const fs::path to = run_directory(report, config);
    fs::create_directories(to, ec);
    if (!ec) {
      fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    }
    if (ec) return "cannot copy " + from.string() + " to " + to.string() + ": " + ec.message();
  }
  return {};
}

}  // namespace

MergeResult merge_reports(const std::vector<std::string>& shards, const std::string& report) {
  MergeResult result;
  Joined joined;
  for (const std::string& shard : shards) {
    result.refusal = read_share(shard, report, joined);
    if (!result.refusal.empty()) return result;
  }
  result.refusal = missing_shares(joined);
  if (result.refusal.empty()) result.refusal = order_by_run(joined);
  if (!result.refusal.empty()) return result;
  result.error = copy_run_files(joined, report);
  if (!result.error.empty()) return result;
  Manifest whole = joined.study;
  whole.shard = {1, 1};
  result.error = write_tables(report, {joined.runs, joined.coefficients, joined.fits});
  if (result.error.empty()) {
    result.error = write_file_atomically(report + "/" + kManifest, manifest_text(whole));
  }
  result.tables = {std::move(joined.runs), std::move(joined.coefficients), std::move(joined.fits)};
  result.se_limit = joined.study.se_limit;
  result.misfit_limit = joined.study.misfit_limit;
  return result;
}

}  // namespace batch
