// The pages of a joined report (vbsfit-batch --merge): one for every
// configuration whose fit the tables show, drawn from the record of that fit
// in the report (its fit.dump), so that the pages hold the fit's own doubles
// and every point of its series. A batch's runs get their pages from their
// analyses (batch/analysis.hpp); the index page is the study view
// (batch/study_index.hpp).
#pragma once

#include <string>
#include <vector>

#include "batch/analysis.hpp"
#include "batch/csv.hpp"

namespace batch {

// The configurations of the rows of a runs.csv whose fit the tables show.
std::vector<Configuration> fitted_configurations(const std::vector<CsvRow>& runs);

// Writes the page of each of `fitted`, each replacing its old version only
// once complete. Returns why a page could not be written, or empty. A record
// that cannot be read leaves its configuration without a page.
std::string write_pages(const std::string& report, const std::vector<Configuration>& fitted,
                        const AnalysisSettings& settings);

}  // namespace batch
