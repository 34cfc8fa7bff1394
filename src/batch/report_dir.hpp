// Whether a directory is a report of vbsfit-batch, and which of its files
// are the report's own. A batch or a merge writes and deletes only inside a
// report, and there only the files that the layout (batch/report_layout.hpp)
// names; whatever else a report holds is left as it is, and named.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "batch/run_set.hpp"

namespace batch {

// What a directory given as --report holds.
struct ReportDirectory {
  enum class Kind {
    absent,   // no such directory: it is made anew
    empty,    // nothing, or only the lock of a batch that has ended
    study,    // the study's record, study.sqlite (and perhaps more)
    earlier,  // no study.sqlite, and nothing but what the layout names: a
              // report of an earlier version (tables, pages, the runs' output)
    foreign,  // anything else: not a report
  };
  Kind kind = Kind::absent;
  bool tables = false;  // it holds runs.csv, coefficients.csv or fits.csv
  // What the layout does not name, relative to the directory, sorted;
  // a directory ends in '/' ("NOTES.txt", "FITS/", "runs/x.log").
  std::vector<std::string> foreign;
  std::string error;  // why it could not be read, or empty
};

// Looks at `path` (a directory or nothing: report_path_fault refuses the
// rest) and what it holds, runs/ included.
ReportDirectory examine_report(const std::string& path);

// Why `report` cannot be written as a report, as `found` shows it ("--report
// R is not a report of vbsfit-batch (it holds NOTES.txt, FITS/); give a new
// or empty directory"), or empty when it can.
std::string report_refusal(const std::string& report, const ReportDirectory& found);

// The warning that names what `found` holds beside the report's own files
// ("vbsfit-batch: R holds what is not the report's, left as it is: ..."),
// or empty when it holds nothing else.
std::string foreign_warning(const std::string& report, const ReportDirectory& found);

// Whether `name` is the file name of a configuration's page
// (report::page_name), or of its output in runs/ (report::file_stem and
// kStdoutSuffix or kStderrSuffix).
bool is_page_name(std::string_view name);
bool is_run_output_name(std::string_view name);

// Removes the report's own files from `report`, all but its lock: the
// tables, the index and pages, study.sqlite and its journals, the runs'
// output (and the run directories of earlier versions, once empty). What
// the layout does not name stays. Returns why a file could not be
// removed, or empty.
std::string clear_report(const std::string& report);

// Copies the runs' output that the report `from` holds into the report
// `into` (replacing the files of the same name). Returns why it could not,
// or empty.
std::string copy_run_output(const std::string& from, const std::string& into);

// Removes index.html and every page from `report`. Returns why one could
// not be removed, or empty.
std::string remove_views(const std::string& report);

// Removes the output of `config`'s run from `report`, as far as it is there.
void remove_run_output(const std::string& report, const Configuration& config);

}  // namespace batch
