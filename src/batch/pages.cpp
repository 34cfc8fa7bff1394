#include "batch/pages.hpp"

#include "batch/files.hpp"
#include "report/report.hpp"

namespace batch {

std::vector<Configuration> missing_pages(const study::Snapshot& snapshot,
                                         const std::string& report) {
  std::vector<Configuration> missing;
  for (const study::Stored& stored : snapshot.configurations) {
    const study::Key& k = stored.record.key;
    if (stored.coefficients.empty()) continue;
    if (path_exists(report + "/" + report::page_name(k.species, k.scenario, k.tag))) continue;
    missing.push_back({k.species, k.scenario, k.tag});
  }
  return missing;
}

std::string write_pages(const std::string& report, const std::string& workdir,
                        const std::vector<Configuration>& configurations,
                        const AnalysisSettings& settings) {
  for (const Configuration& c : configurations) {
    const Analysis analysis = analyze({c, workdir, report, settings, true, nullptr});
    if (!analysis.error.empty()) return analysis.error;
  }
  return {};
}

}  // namespace batch
