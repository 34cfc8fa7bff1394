#include "batch/pages.hpp"

#include "batch/files.hpp"
#include "batch/run_inputs.hpp"
#include "config/config.hpp"
#include "report/report.hpp"

namespace batch {

bool missing_page(const study::Stored& stored, const std::string& report) {
  const study::Key& k = stored.record.key;
  return !stored.coefficients.empty() &&
         !path_exists(report + "/" + report::page_name(k.species, k.scenario, k.tag));
}

std::string write_pages(const std::string& report, const std::string& workdir,
                        const std::vector<RunEntry>& entries,
                        const AnalysisSettings& settings, std::vector<std::string>* undrawn,
                        const std::vector<InputSource>* sources,
                        const std::vector<std::int64_t>* fitted_by) {
  for (std::size_t n = 0; n < entries.size(); ++n) {
    const RunEntry& entry = entries[n];
    const Configuration& c = entry.config;
    AnalysisRequest request{entry, workdir, report, settings, true, nullptr, std::nullopt,
                            sources != nullptr ? &(*sources)[n] : nullptr};
    if (fitted_by != nullptr && n < fitted_by->size()) request.fitted_by = (*fitted_by)[n];
    const Analysis analysis = analyze(request);
    if (!analysis.error.empty()) return analysis.error;
    if (analysis.page || undrawn == nullptr) continue;
    // Its record was checked against its files: a fit that differs now was
    // made with other constants (or the files changed meanwhile).
    undrawn->push_back(display_name(c) + ": " +
                       (analysis.verdict == Analysis::Verdict::stale
                            ? "its inputs fitted with the species table used here do not give " +
                                  config::results_path(c.species, c.scenario, c.tag)
                            : analysis.note));
  }
  return {};
}

}  // namespace batch
