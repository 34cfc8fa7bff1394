#include "batch/study_index.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <tuple>
#include <utility>

#include "batch/files.hpp"
#include "batch/report_layout.hpp"
#include "config/config.hpp"
#include "quality/models.hpp"
#include "report/report.hpp"

namespace batch {
namespace {

using Key = std::tuple<std::string, std::string, std::string>;  // species, scenario, tag

// The configuration's bins as the fits and coefficients tables give them.
using Bins = std::array<report::BinFigures, config::kBins>;

constexpr std::size_t kRunSpecies = column_index(kRunsColumns, "species");
constexpr std::size_t kRunScenario = column_index(kRunsColumns, "scenario");
constexpr std::size_t kRunTag = column_index(kRunsColumns, "tag");
constexpr std::size_t kRunKnown = column_index(kRunsColumns, "known_species");
constexpr std::size_t kRunState = column_index(kRunsColumns, "state");
constexpr std::size_t kRunMessage = column_index(kRunsColumns, "message");
constexpr std::size_t kRunK1 = column_index(kRunsColumns, "k1");  // k2 ... k6 follow
static_assert(column_index(kRunsColumns, "k6") == kRunK1 + config::kBins - 1);

constexpr std::size_t kCoefSpecies = column_index(kCoefficientsColumns, "species");
constexpr std::size_t kCoefScenario = column_index(kCoefficientsColumns, "scenario");
constexpr std::size_t kCoefTag = column_index(kCoefficientsColumns, "tag");
constexpr std::size_t kCoefBin = column_index(kCoefficientsColumns, "target_bin");
constexpr std::size_t kCoefTerm = column_index(kCoefficientsColumns, "term");
constexpr std::size_t kCoefValue = column_index(kCoefficientsColumns, "coefficient");
constexpr std::size_t kCoefAtBound = column_index(kCoefficientsColumns, "at_bound");
constexpr std::size_t kCoefSe = column_index(kCoefficientsColumns, "standard_error");
constexpr std::size_t kCoefFlag = column_index(kCoefficientsColumns, "flag");

constexpr std::size_t kFitSpecies = column_index(kFitsColumns, "species");
constexpr std::size_t kFitScenario = column_index(kFitsColumns, "scenario");
constexpr std::size_t kFitTag = column_index(kFitsColumns, "tag");
constexpr std::size_t kFitBin = column_index(kFitsColumns, "target_bin");
constexpr std::size_t kFitRss = column_index(kFitsColumns, "rss");
constexpr std::size_t kFitR2 = column_index(kFitsColumns, "r_squared");
constexpr std::size_t kFitRho = column_index(kFitsColumns, "autocorrelation");
constexpr std::size_t kFitMisfit = column_index(kFitsColumns, "misfit");

// The number a cell holds; NaN when it is empty or not a number.
double number(const std::string& cell) {
  double value = std::numeric_limits<double>::quiet_NaN();
  const char* end = cell.data() + cell.size();
  const auto result = std::from_chars(cell.data(), end, value);
  if (cell.empty() || result.ec != std::errc() || result.ptr != end) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return value;
}

// The target bin (1 ... 6) a cell names, or 0.
int bin_of(const std::string& cell) {
  const double b = number(cell);
  return b >= 1 && b <= config::kBins && b == std::floor(b) ? static_cast<int>(b) : 0;
}

// The term (0 for VOC ... 6) a label names, or -1.
int term_of(const std::string& label) {
  for (int t = 0; t < config::kCoefficients; ++t) {
    if (config::term_label(t) == label) return t;
  }
  return -1;
}

quality::Flag flag_of(const std::string& name) {
  for (quality::Flag f : {quality::Flag::determined, quality::Flag::no_effect}) {
    if (name == quality::flag_name(f)) return f;
  }
  return quality::Flag::undetermined;
}

// Every fitted configuration's bins. Rows of another width are passed over.
struct FittedBins {
  std::map<Key, Bins> bins;
};

FittedBins fitted_bins(const Tables& tables) {
  FittedBins out;
  for (const CsvRow& row : tables.fits) {
    const int b = row.size() == kFitsColumns.size() ? bin_of(row[kFitBin]) : 0;
    if (b == 0) continue;
    const Key key{row[kFitSpecies], row[kFitScenario], row[kFitTag]};
    report::BinFigures& f = out.bins[key][b - 1];
    f.rss = number(row[kFitRss]);
    f.r_squared = number(row[kFitR2]);
    f.autocorrelation = number(row[kFitRho]);
    f.misfit = row[kFitMisfit] == "true";
  }
  for (const CsvRow& row : tables.coefficients) {
    if (row.size() != kCoefficientsColumns.size()) continue;
    const auto at = out.bins.find({row[kCoefSpecies], row[kCoefScenario], row[kCoefTag]});
    const int b = bin_of(row[kCoefBin]), t = term_of(row[kCoefTerm]);
    if (at == out.bins.end() || b == 0 || t < 0) continue;
    report::BinFigures& f = at->second[b - 1];
    f.coefficients[t] = {number(row[kCoefValue]), number(row[kCoefSe]), flag_of(row[kCoefFlag])};
    f.free_count += row[kCoefAtBound] == "false";
  }
  return out;
}

}  // namespace

void StudyRows::add(const Tables& tables) {
  const FittedBins fitted = fitted_bins(tables);
  for (const CsvRow& row : tables.runs) {
    if (row.size() != kRunsColumns.size()) continue;
    report::StudyRow& r = rows_.emplace_back();
    r.species = row[kRunSpecies];
    r.scenario = row[kRunScenario];
    r.tag = row[kRunTag];
    r.state = row[kRunState];
    r.message = row[kRunMessage];
    r.known_species = row[kRunKnown] != "false";
    std::array<double, config::kBins> k{};
    for (int j = 0; j < config::kBins; ++j) k[j] = number(row[kRunK1 + j]);
    r.reactions = report::reactions_of(k);
    if (const auto at = fitted.bins.find({r.species, r.scenario, r.tag}); at != fitted.bins.end()) {
      r.fitted = true;
      r.bins = at->second;
    }
  }
}

std::vector<CsvRow> StudyRows::models() const {
  // Species and scenarios in the order first listed, each with its tags.
  std::vector<std::pair<std::string, std::string>> groups;
  std::map<std::pair<std::string, std::string>, std::vector<quality::Candidate>> candidates;
  for (const report::StudyRow& r : rows_) {
    if (!r.fitted) continue;
    auto [at, added] = candidates.try_emplace({r.species, r.scenario});
    if (added) groups.push_back(at->first);
    quality::Candidate c{r.tag, r.reactions, {}};
    for (const report::BinFigures& f : r.bins) {
      c.bins.push_back({f.rows, f.rss, f.r_squared, f.free_count});
    }
    at->second.push_back(std::move(c));
  }
  std::vector<CsvRow> rows;
  for (const auto& group : groups) {
    const std::vector<quality::Candidate>& tags = candidates.at(group);
    if (tags.size() < 2) continue;
    for (CsvRow& row : models_rows(group.first, group.second, tags)) {
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

report::Study StudyRows::study(const std::string& report,
                               std::vector<report::BatchRecord> batches, double se_limit,
                               double misfit_limit) {
  report::Study study;
  study.batches = std::move(batches);
  study.se_limit = se_limit;
  study.misfit_limit = misfit_limit;
  study.rows = std::move(rows_);
  rows_.clear();
  for (report::StudyRow& r : study.rows) {
    r.linked = r.fitted &&
               path_exists(report + "/" + report::page_name(r.species, r.scenario, r.tag));
  }
  return study;
}

std::vector<CsvRow> models_table(const Tables& tables) {
  StudyRows rows;
  rows.add(tables);
  return rows.models();
}

report::Study study_of(const Tables& tables, const std::string& report,
                       std::vector<report::BatchRecord> batches, double se_limit,
                       double misfit_limit) {
  StudyRows rows;
  rows.add(tables);
  return rows.study(report, std::move(batches), se_limit, misfit_limit);
}

std::string write_study_view(const std::string& report, const Tables& tables,
                             std::vector<report::BatchRecord> batches, double se_limit,
                             double misfit_limit, bool pages) {
  StudyRows rows;
  rows.add(tables);
  return write_study_view(report, rows, std::move(batches), se_limit, misfit_limit, pages);
}

std::string write_study_view(const std::string& report, StudyRows& rows,
                             std::vector<report::BatchRecord> batches, double se_limit,
                             double misfit_limit, bool pages) {
  std::string error = write_file_atomically(
      report + "/" + kModelsTable, csv_text(models_header(), rows.models(), kModelsText));
  if (error.empty() && pages) {
    error = write_file_atomically(
        report + "/" + kIndexPage,
        report::render_study(rows.study(report, std::move(batches), se_limit, misfit_limit)));
  }
  return error;
}

}  // namespace batch
