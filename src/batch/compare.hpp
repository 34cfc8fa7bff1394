// vbsfit-batch --compare A B: two fits of a study's configurations,
// coefficient by coefficient, written as compare.csv and compare.html.
#pragma once

#include <string>
#include <vector>

#include "batch/csv.hpp"
#include "report/compare_view.hpp"
#include "study/study.hpp"

namespace batch {

// The fit of every configuration as the study stood when batch `batch`
// ended: the fit its latest log row up to that batch points to (none when
// that row forgot it or left it without a fit). Refuses a batch the study
// does not record.
study::Error fits_as_of(study::Study& db, std::int64_t batch, std::vector<study::Stored>& fits);

// The two sides compared: every configuration with coefficients on both.
report::Comparison compare_fits(const std::vector<study::Stored>& a,
                                const std::vector<study::Stored>& b);

// compare.csv's header and rows; its text fields (names, term, verdicts).
inline constexpr TextFields kCompareText = (1u << 0) | (1u << 1) | (1u << 2) | (1u << 4) |
                                          (1u << 12) | (1u << 13);
const CsvRow& compare_header();
std::vector<CsvRow> compare_rows(const report::Comparison& comparison);

}  // namespace batch
