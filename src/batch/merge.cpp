#include "batch/merge.hpp"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

namespace batch {
namespace {

namespace fs = std::filesystem;

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

// The configuration of a row whose species, scenario and tag start at
// column `first`.
Configuration configuration_of(const CsvRow& row, std::size_t first) {
  return {row[first], row[first + 1], row[first + 2]};
}

}  // namespace

MergeResult merge_reports(const std::vector<std::string>& shards, const std::string& report) {
  MergeResult result;
  std::error_code ec;
  Manifest study;
  std::map<int, std::string> shard_of_index;  // shard index -> its report
  std::vector<CsvRow> runs, coefficients, fits;
  std::vector<std::pair<std::string, Configuration>> files;  // each run's report and configuration
  for (const std::string& shard : shards) {
    if (fs::exists(report, ec) && fs::equivalent(shard, report, ec)) {
      result.refusal = "--report " + report + " is one of the reports to join";
      return result;
    }
    if (!fs::is_directory(shard, ec)) {
      result.refusal =
          shard + " is not a directory; --merge joins the report directories of shards";
      return result;
    }
    std::string text;
    Manifest manifest;
    if (!read_whole_file((fs::path(shard) / kManifest).string(), text)) {
      result.refusal = shard + " is not a report of vbsfit-batch (no " + kManifest + ")";
      return result;
    }
    if (std::string why = parse_manifest(text, manifest); !why.empty()) {
      result.refusal = shard + "/" + kManifest + ": " + why;
      return result;
    }
    if (shard_of_index.empty()) {
      study = manifest;
    } else if (manifest.total != study.total || manifest.fingerprint != study.fingerprint ||
               manifest.shard.count != study.shard.count) {
      result.refusal = shard + " holds a share of another run set than " +
                       shard_of_index.begin()->second;
      return result;
    } else if (manifest.se_limit != study.se_limit) {
      result.refusal = shard + " was flagged with --se-limit " + csv_number(manifest.se_limit) +
                       ", " + shard_of_index.begin()->second + " with " +
                       csv_number(study.se_limit);
      return result;
    }
    auto [at, added] = shard_of_index.emplace(manifest.shard.index, shard);
    if (!added) {
      result.refusal = shard + " and " + at->second + " hold the same share " +
                       std::to_string(manifest.shard.index) + "/" +
                       std::to_string(manifest.shard.count);
      return result;
    }
    for (auto [name, header, rows] :
         {std::tuple{kRunsTable, &runs_header(), &runs},
          std::tuple{kCoefficientsTable, &coefficients_header(), &coefficients},
          std::tuple{kFitsTable, &fits_header(), &fits}}) {
      if (std::string why = read_table(shard, name, *header, *rows); !why.empty()) {
        result.refusal = why;
        return result;
      }
    }
    for (std::size_t n = files.size(); n < runs.size(); ++n) {
      files.emplace_back(shard, configuration_of(runs[n], 1));
    }
  }
  std::string missing;
  for (int k = 1; k <= study.shard.count; ++k) {
    if (shard_of_index.count(k) == 0) {
      missing += (missing.empty() ? "" : ", ") + std::to_string(k) + "/" +
                 std::to_string(study.shard.count);
    }
  }
  if (!missing.empty()) {
    result.refusal = "the report of share " + missing + " is missing; give every share's report";
    return result;
  }

  // Run-set order: by the run number of runs.csv, which the other tables
  // follow through their configuration.
  std::map<std::string, int> run_of;  // display_name -> run number
  for (const CsvRow& row : runs) {
    const std::string name = display_name(configuration_of(row, 1));
    int number = 0;
    auto parsed = std::from_chars(row[0].data(), row[0].data() + row[0].size(), number);
    if (parsed.ec != std::errc() || !run_of.emplace(name, number).second) {
      result.refusal = "the configuration " + name + " comes twice, or without a run number";
      return result;
    }
  }
  if (static_cast<int>(runs.size()) != study.total) {
    result.refusal = "the shares hold " + std::to_string(runs.size()) + " configurations, not the " +
                     std::to_string(study.total) + " of their run set";
    return result;
  }
  for (const auto* table : {&coefficients, &fits}) {
    for (const CsvRow& row : *table) {
      if (run_of.count(display_name(configuration_of(row, 0))) == 0) {
        result.refusal = "a row of the configuration " + display_name(configuration_of(row, 0)) +
                         " that runs.csv does not list";
        return result;
      }
    }
  }
  auto order_by_run = [&run_of](std::vector<CsvRow>& rows, std::size_t first) {
    std::stable_sort(rows.begin(), rows.end(), [&](const CsvRow& a, const CsvRow& b) {
      return run_of[display_name(configuration_of(a, first))] <
             run_of[display_name(configuration_of(b, first))];
    });
  };
  order_by_run(runs, 1);
  order_by_run(coefficients, 0);
  order_by_run(fits, 0);

  fs::create_directories(report, ec);
  if (ec) {
    result.error = "cannot create " + report + ": " + ec.message();
    return result;
  }
  for (const auto& [shard, config] : files) {
    const fs::path from = run_directory(shard, config);
    if (!fs::is_directory(from, ec)) continue;  // never started
    const fs::path to = run_directory(report, config);
    fs::create_directories(to, ec);
    if (!ec) {
      fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    }
    if (ec) {
      result.error = "cannot copy " + from.string() + " to " + to.string() + ": " + ec.message();
      return result;
    }
  }
  Manifest joined = study;
  joined.shard = {1, 1};
  result.error = write_tables(report, {runs, coefficients, fits});
  if (result.error.empty()) {
    result.error = write_file_atomically(report + "/" + kManifest, manifest_text(joined));
  }
  result.runs = std::move(runs);
  result.se_limit = study.se_limit;
  return result;
}

}  // namespace batch
