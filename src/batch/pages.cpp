#include "batch/pages.hpp"

#include "batch/fit_dump.hpp"
#include "batch/tables.hpp"
#include "config/config.hpp"
#include "report/report.hpp"

namespace batch {
namespace {

// A configuration's numbers for its page, from the record of its fit.
report::Configuration page_numbers(const FitDump& dump, double se_limit) {
  const Configuration& id = dump.config;
  report::Configuration c;
  c.species = id.species;
  c.scenario = id.scenario;
  c.tag = id.tag;
  c.known_species = config::find_species(id.species) != nullptr;
  c.rates.kp = dump.kp;
  c.rates.k = dump.k;
  c.inputs = config::input_paths(id.species, id.scenario);
  c.results = config::results_path(id.species, id.scenario, id.tag);
  c.molar_masses = dump.avgwmol;
  c.time = dump.time;
  for (int r = 1; r <= config::kBins; ++r) {
    const SolveRecord& s = dump.solves[r - 1];
    const quality::Problem problem{config::kIntervals, config::kCoefficients, dump.a, s.b,
                                   s.x, s.lower, s.upper};
    c.bins.push_back(report::bin_fit(problem, r, se_limit));
  }
  return c;
}

}  // namespace

std::vector<PageEntry> page_entries(const std::vector<RunEntry>& entries,
                                    const std::vector<Outcome>& outcomes) {
  std::vector<PageEntry> pages;
  for (std::size_t n = 0; n < entries.size(); ++n) {
    const Outcome& o = outcomes[n];
    pages.push_back({entries[n].config, state_name(o.state), o.message, o.numbers.has_value()});
  }
  return pages;
}

std::vector<PageEntry> page_entries(const std::vector<CsvRow>& runs) {
  static const std::size_t species = runs_column("species"), scenario = runs_column("scenario"),
                           tag = runs_column("tag"), state = runs_column("state"),
                           message = runs_column("message"),
                           undetermined = runs_column("undetermined");
  std::vector<PageEntry> pages;
  for (const CsvRow& row : runs) {
    if (row.size() != runs_header().size()) continue;
    pages.push_back({{row[species], row[scenario], row[tag]}, row[state], row[message],
                     !row[undetermined].empty()});
  }
  return pages;
}

std::string write_pages(const std::string& report, const std::vector<PageEntry>& entries,
                        double se_limit) {
  std::vector<report::IndexRow> rows;
  for (const PageEntry& e : entries) {
    report::IndexRow row;
    if (e.numbers) {
      FitDump dump;
      const std::string record = run_directory(report, e.config) + "/" + kFitDumpName;
      if (std::string why = read_fit_dump(record, e.config, dump); why.empty()) {
        const report::Configuration numbers = page_numbers(dump, se_limit);
        const std::string page = report::page_name(e.config.species, e.config.scenario,
                                                   e.config.tag);
        std::string error =
            write_file_atomically(report + "/" + page, report::render_page(numbers, se_limit));
        if (!error.empty()) return error;
        row = report::index_row(numbers);
      } else {
        row.message = "no page: " + why;
      }
    }
    row.species = e.config.species;
    row.scenario = e.config.scenario;
    row.tag = e.config.tag;
    row.known_species = config::find_species(e.config.species) != nullptr;
    row.state = e.state;
    if (!e.message.empty()) {
      row.message = e.message + (row.message.empty() ? "" : "; " + row.message);
    }
    rows.push_back(std::move(row));
  }
  return write_file_atomically(report + "/" + kIndexPage, report::render_index(rows, se_limit));
}

}  // namespace batch
