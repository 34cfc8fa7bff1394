#include "batch/tables.hpp"

#include <charconv>
#include <cstdio>
#include <string_view>

#include "batch/species_table.hpp"
#include "config/config.hpp"

namespace batch {
namespace {

const char* yes_no(bool value) { return value ? "true" : "false"; }

CsvRow numbered(const char* prefix, int count) {
  CsvRow names;
  for (int j = 1; j <= count; ++j) names.push_back(prefix + std::to_string(j));
  return names;
}

CsvRow operator+(CsvRow left, const CsvRow& right) {
  left.insert(left.end(), right.begin(), right.end());
  return left;
}

}  // namespace

std::string run_directory(const std::string& report, const Configuration& config) {
  return report + "/" + kRunsDirectory + "/" + display_name(config);
}

const CsvRow& runs_header() {
  static const CsvRow header =
      CsvRow{"run", "species", "scenario", "tag", "known_species", "state", "exit_status",
             "message", "results_path", "kp"} +
      numbered("k", config::kBins) + numbered("wmol", config::kBins) +
      CsvRow{"undetermined", "seconds", "species_source", "input_records"};
  return header;
}

std::size_t runs_column(std::string_view name) {
  const CsvRow& header = runs_header();
  for (std::size_t n = 0; n < header.size(); ++n) {
    if (header[n] == name) return n;
  }
  return 0;
}

const CsvRow& coefficients_header() {
  static const CsvRow header = {"species",  "scenario", "tag",      "target_bin",
                                "term",     "coefficient", "lower", "upper",
                                "at_bound", "standard_error", "flag"};
  return header;
}

const CsvRow& fits_header() {
  static const CsvRow header = {"species", "scenario", "tag", "target_bin",
                                "rss", "rms", "r_squared", "relative_residual"};
  return header;
}

Tables table_rows(const std::vector<RunEntry>& entries, const std::vector<Outcome>& outcomes) {
  Tables tables;
  for (std::size_t n = 0; n < entries.size(); ++n) {
    const Configuration& c = entries[n].config;
    const Outcome& o = outcomes[n];
    const config::RateConstants rates = config::rate_constants(species_row(c.species), c.tag);
    CsvRow run = {std::to_string(entries[n].number), c.species, c.scenario, c.tag,
                  yes_no(known_species(c.species) != nullptr), state_name(o.state),
                  o.exit_status ? std::to_string(*o.exit_status) : "", o.message,
                  config::results_path(c.species, c.scenario, c.tag), csv_number(rates.kp)};
    for (double k : rates.k) run.push_back(csv_number(k));
    for (int j = 0; j < config::kBins; ++j) {
      run.push_back(o.numbers ? csv_number(o.numbers->avgwmol[j]) : "");
    }
    run.push_back(o.numbers ? std::to_string(undetermined_count(*o.numbers)) : "");
    run.push_back(csv_number(o.seconds));
    run.push_back(source_name(species_source(c.species)));
    run.push_back(o.input_records > 0 ? std::to_string(o.input_records) : "");
    tables.runs.push_back(std::move(run));
    if (!o.numbers) continue;

    for (int r = 1; r <= config::kBins; ++r) {
      const BinFit& bin = o.numbers->bins[r - 1];
      for (int t = 0; t < config::kCoefficients; ++t) {
        const quality::Coefficient& k = bin.quality.coefficients[t];
        tables.coefficients.push_back(
            {c.species, c.scenario, c.tag, std::to_string(r), config::term_label(t),
             csv_number(bin.coefficient[t]), csv_number(bin.lower[t]), csv_number(bin.upper[t]),
             yes_no(k.at_bound), csv_number(k.standard_error), quality::flag_name(k.flag)});
      }
      const FitFigures& q = bin.quality;
      tables.fits.push_back({c.species, c.scenario, c.tag, std::to_string(r), csv_number(q.rss),
                             csv_number(q.rms), csv_number(q.r_squared),
                             csv_number(q.relative_residual)});
    }
  }
  return tables;
}

std::string write_tables(const std::string& report, const Tables& tables) {
  const std::pair<const char*, std::string> files[] = {
      {kRunsTable, csv_text(runs_header(), tables.runs)},
      {kCoefficientsTable, csv_text(coefficients_header(), tables.coefficients)},
      {kFitsTable, csv_text(fits_header(), tables.fits)},
  };
  for (const auto& [name, text] : files) {
    std::string error = write_file_atomically(report + "/" + name, text);
    if (!error.empty()) return error;
  }
  return {};
}

std::string manifest_text(const Manifest& manifest) {
  char fingerprint[17];
  std::snprintf(fingerprint, sizeof fingerprint, "%016llx",
                static_cast<unsigned long long>(manifest.fingerprint));
  return "shard: " + std::to_string(manifest.shard.index) + "/" +
         std::to_string(manifest.shard.count) + "\nconfigurations: " +
         std::to_string(manifest.total) + "\nrun set: " + fingerprint +
         "\nse limit: " + csv_number(manifest.se_limit) + "\n";
}

std::string parse_manifest(const std::string& text, Manifest& manifest) {
  Manifest read;
  bool have_shard = false, have_total = false, have_fingerprint = false, have_limit = false;
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    const std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, colon);
    const std::string_view value = line.substr(colon + 2);
    const char* last = value.data() + value.size();
    if (key == "shard") {
      have_shard = parse_shard(value, read.shard);
    } else if (key == "configurations") {
      auto result = std::from_chars(value.data(), last, read.total);
      have_total = result.ec == std::errc() && result.ptr == last && read.total >= 0;
    } else if (key == "run set") {
      auto result = std::from_chars(value.data(), last, read.fingerprint, 16);
      have_fingerprint = result.ec == std::errc() && result.ptr == last;
    } else if (key == "se limit") {
      auto result = std::from_chars(value.data(), last, read.se_limit);
      have_limit = result.ec == std::errc() && result.ptr == last && read.se_limit > 0.0;
    }
  }
  if (!have_shard || !have_total || !have_fingerprint || !have_limit) {
    return "it does not say which shard of which run set it holds, and with which --se-limit";
  }
  manifest = read;
  return {};
}

}  // namespace batch
