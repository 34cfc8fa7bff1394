#include "batch/pages.hpp"

#include "batch/tables.hpp"

namespace batch {
namespace {

constexpr std::size_t kSpecies = column_index(kRunsColumns, "species");
constexpr std::size_t kScenario = column_index(kRunsColumns, "scenario");
constexpr std::size_t kTag = column_index(kRunsColumns, "tag");
constexpr std::size_t kUndetermined = column_index(kRunsColumns, "undetermined");

}  // namespace

std::vector<Configuration> fitted_configurations(const std::vector<CsvRow>& runs) {
  std::vector<Configuration> fitted;
  for (const CsvRow& row : runs) {
    if (row.size() != kRunsColumns.size() || row[kUndetermined].empty()) continue;
    fitted.push_back({row[kSpecies], row[kScenario], row[kTag]});
  }
  return fitted;
}

std::string write_pages(const std::string& report, const std::vector<Configuration>& fitted,
                        const AnalysisSettings& settings) {
  for (const Configuration& c : fitted) {
    const Analysis analysis = analyze(report, c, settings);
    if (!analysis.error.empty()) return analysis.error;
  }
  return {};
}

}  // namespace batch
