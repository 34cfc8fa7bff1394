// The parts of the study view (index.html) that render_study puts together:
// its style sheet and script, the configurations, the tags compared, the
// flag grid and the coefficient explorer, and what they share of a row.
// Internal to src/report; the page's hooks are described in study_view.hpp.
#pragma once

#include <string>

#include "report/study_view.hpp"

namespace report::study_page {

extern const char* const kStyle;   // <style> ... </style>
extern const char* const kScript;  // sorting and filtering of table#configurations
extern const char* const kExplorerScript;  // the explorer's charts, from its data block

// The coefficients of a fitted row by verdict: the four add up to all of
// them.
struct Counts {
  int trusted = 0, undetermined = 0, misfit = 0, no_effect = 0;
};
Counts count(const StudyRow& r);
// Its target bins flagged misfit.
int misfit_bins(const StudyRow& r);
// Succeeded or kept: its figures are those of its results file.
bool succeeded(const StudyRow& r);

// The sections, each with its heading.
std::string configurations(const Study& s);
std::string models(const Study& s);
std::string explorer(const Study& s);
std::string flags(const Study& s);

}  // namespace report::study_page
