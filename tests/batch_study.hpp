// Test support for vbsfit-batch: a study tree made with vbsgen (inputs
// beside the working directory run/, whose FITS exists), running the batch
// and reading its tables.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "batch/csv.hpp"
#include "run_program.hpp"

namespace testsupport {

// Simulated runs of these species and scenarios exist in a fresh study; the
// ideal layout's two files are in run/ itself.
struct Simulation {
  const char* species;
  const char* scenario;
  const char* seed;
};
inline constexpr Simulation kSimulations[] = {
    {"OLE2_OH", "0.1", "1"},
    {"API_OH", "0.1", "2"},
    {"ABCDEFGHIJ", "NOX_LABEL_20_CHARS__", "3"},
    {"ideal", "0.1", "4"},
};

class BatchStudy : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const Simulation& s : kSimulations) {
      const bool ideal = std::string(s.species) == "ideal";
      ProgramRun made = run_program(binary("vbsgen"), root(),
                                    {"--species", s.species, "--scenario", s.scenario, "--seed",
                                     s.seed, "--output", ideal ? "run" : ".",
                                     "--allow-unknown-species"});
      ASSERT_EQ(made.exit_status, 0) << made.err;
    }
    fs::create_directories(run_dir() / "FITS");
  }

  const fs::path& root() const { return scratch_.path(); }
  fs::path run_dir() const { return root() / "run"; }
  fs::path report() const { return run_dir() / "vbsfit-report"; }
  fs::path results(const std::string& species, const std::string& scenario,
                   const std::string& tag) const {
    return run_dir() / "FITS" / ("fit6_coef." + species + "." + scenario + "." + tag);
  }
  // Where a run's output is kept in `report_dir`, less the suffix
  // (with_suffix: ".stdout", ".stderr").
  fs::path run_files(const std::string& species, const std::string& scenario,
                     const std::string& tag, const fs::path& report_dir) const {
    return report_dir / "runs" / (species + "," + scenario + "," + tag);
  }
  static fs::path with_suffix(const fs::path& path, const char* suffix) {
    return fs::path(path.string() + suffix);
  }

  // New inputs for a species: another simulation of it, over the old one.
  void simulate_again(const std::string& species) const {
    const fs::path made = root() / ("again-" + species);
    fs::create_directories(made);
    ASSERT_EQ(run_program(binary("vbsgen"), made,
                          {"--species", species, "--scenario", "0.1", "--seed", "77", "--output",
                           "."})
                  .exit_status,
              0);
    const fs::path inputs = fs::path("INPUTS_ODE") / "5days" / ("0.1_aer." + species);
    for (const auto& file : fs::directory_iterator(made / inputs)) {
      fs::copy_file(file.path(), root() / inputs / file.path().filename(),
                    fs::copy_options::overwrite_existing);
    }
  }

  // vbsfit-batch run in run/ with `args`.
  ProgramRun batch(const std::vector<std::string>& args) const {
    return run_program(binary("vbsfit-batch"), run_dir(), args);
  }

  ScratchDir scratch_;
};

// A table of the report as rows of fields, header first.
inline std::vector<batch::CsvRow> read_table(const fs::path& path) {
  std::vector<batch::CsvRow> rows;
  EXPECT_EQ(batch::parse_csv(read_file(path), rows), "") << path;
  return rows;
}

// The column of `name` in a table's header row.
inline std::size_t column(const std::vector<batch::CsvRow>& table, const std::string& name) {
  for (std::size_t n = 0; !table.empty() && n < table[0].size(); ++n) {
    if (table[0][n] == name) return n;
  }
  ADD_FAILURE() << "no column " << name;
  return 0;
}

// The row of runs.csv for one configuration.
inline batch::CsvRow run_row(const std::vector<batch::CsvRow>& runs, const std::string& species,
                             const std::string& scenario, const std::string& tag) {
  for (const batch::CsvRow& row : runs) {
    if (row.size() > 3 && row[1] == species && row[2] == scenario && row[3] == tag) return row;
  }
  ADD_FAILURE() << "no row for " << species << "/" << scenario << "/" << tag;
  return batch::CsvRow(runs.empty() ? 0 : runs[0].size());
}

}  // namespace testsupport
