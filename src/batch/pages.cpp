#include "batch/pages.hpp"

#include "batch/files.hpp"
#include "report/report.hpp"

namespace batch {

bool missing_page(const study::Stored& stored, const std::string& report) {
  const study::Key& k = stored.record.key;
  return !stored.coefficients.empty() &&
         !path_exists(report + "/" + report::page_name(k.species, k.scenario, k.tag));
}

std::string write_pages(const std::string& report, const std::string& workdir,
                        const std::vector<Configuration>& configurations,
                        const AnalysisSettings& settings, std::vector<std::string>* undrawn) {
  for (const Configuration& c : configurations) {
    const Analysis analysis = analyze({c, workdir, report, settings, true, nullptr});
    if (!analysis.error.empty()) return analysis.error;
    if (!analysis.page && undrawn != nullptr) {
      undrawn->push_back(display_name(c) + ": " +
                         (analysis.note.empty() ? "its fit cannot be had" : analysis.note));
    }
  }
  return {};
}

}  // namespace batch
