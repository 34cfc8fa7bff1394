// The pages that a report lacks at the end of a batch or a merge: one for
// every configuration the study's record holds numbers for, drawn from an
// in-memory refit of its inputs, so that the page holds the fit's own
// doubles and every point of its series. A batch's runs get their pages
// from their analyses (batch/analysis.hpp); the index page is the study
// view (batch/study_index.hpp).
#pragma once

#include <string>
#include <vector>

#include "batch/analysis.hpp"
#include "study/study.hpp"

namespace batch {

struct InputSource;  // batch/run_inputs.hpp

// Whether `stored` is a configuration with numbers whose page is not in
// `report`.
bool missing_page(const study::Stored& stored, const std::string& report);

// Writes the page of each of `entries`, refitted from their inputs below
// `workdir` with their species rows, each replacing its old version only once complete.
// Returns why a page could not be written, or empty; a configuration whose
// inputs no longer fit is left without a page, and named in `undrawn`
// (when given) with the reason. `sources`, when given, holds where each
// entry's inputs are read from (by entry); else the batch's source.
// `fitted_by`, when given, holds the batch that fitted each entry, whose
// facts (settings.signatures) sign its page.
std::string write_pages(const std::string& report, const std::string& workdir,
                        const std::vector<RunEntry>& entries,
                        const AnalysisSettings& settings,
                        std::vector<std::string>* undrawn = nullptr,
                        const std::vector<InputSource>* sources = nullptr,
                        const std::vector<std::int64_t>* fitted_by = nullptr);

}  // namespace batch
