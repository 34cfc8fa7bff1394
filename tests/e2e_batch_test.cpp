// vbsfit-batch run as a user runs it on simulated studies: every run prints,
// writes and ends exactly as the vbsfit built for its configuration does in
// the same directory; failures stay in their own row; a rerun keeps
// everything; shards join into the tables of the whole study.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "batch/species_table.hpp"
#include "driver/in_memory.hpp"
#include "batch/outcome.hpp"
#include "batch/tables.hpp"
#include "batch_study.hpp"
#include "textio/formatted.hpp"
#include "report/html.hpp"
#include "report/report.hpp"

namespace {

// The records 3 ... 9 of the results file that a fit's numbers make: one row
// per target bin, then the molar masses, as the program formats them.
std::vector<std::string> results_records(const batch::FitNumbers& numbers) {
  std::vector<std::string> records;
  for (const quality::BinFigures& bin : numbers.bins) {
    for (std::string& record : textio::render_formatted(textio::FMT2, bin.coefficient)) {
      records.push_back(std::move(record));
    }
  }
  const auto& w = numbers.avgwmol;
  const std::array<double, config::kCoefficients> masses = {0.0, w[0], w[1], w[2], w[3], w[4], w[5]};
  for (std::string& record : textio::render_formatted(textio::FMT1, masses)) {
    records.push_back(std::move(record));
  }
  return records;
}


using batch::CsvRow;
using testsupport::binary;
using testsupport::column;
using testsupport::read_file;
using testsupport::read_table;
using testsupport::run_program;
using testsupport::run_row;
using testsupport::write_file;
namespace fs = std::filesystem;

struct Variant {
  const char* species;
  const char* scenario;
  const char* tag;
  const char* program;  // built for these start values by the test set-up
};

// The configurations that a binary of the test set-up was built for. C12 has
// no simulation in the study, so its run ends with message 29.
const Variant kVariants[] = {
    {"OLE2_OH", "0.1", "allgas", "vbsfit"},
    {"API_OH", "0.1", "allgas", "vbsfit_api_oh"},
    {"ideal", "0.1", "allgas", "vbsfit_ideal"},
    {"C12", "0.1", "allgas", "vbsfit_c12_upper"},
    {"OLE2_OH", "0.1", "static", "vbsfit_static"},
    {"OLE2_OH", "0.1", "no56", "vbsfit_no56"},
    {"OLE2_OH", "0.1", "no6", "vbsfit_no6"},
    {"ABCDEFGHIJ", "NOX_LABEL_20_CHARS__", "allgas", "vbsfit_long_names"},
};

std::string plan_of(const std::vector<Variant>& variants) {
  std::string plan = "# species,scenario,tag\n";
  for (const Variant& v : variants) {
    plan += std::string(v.species) + "," + v.scenario + "," + v.tag + "\n";
  }
  return plan;
}

// The lines of a file without their line feeds.
std::vector<std::string> records(const fs::path& file) {
  return testsupport::lines_of(read_file(file));
}

class Batch : public testsupport::BatchStudy {
 protected:
  // The numbers of a configuration's fit in memory, from its inputs.
  batch::FitNumbers recorded(const Variant& v) {
    const driver::ReadOutcome read = driver::read_inputs(run_dir().string(), v.species, v.scenario);
    EXPECT_TRUE(read.ending.ok()) << read.ending.message;
    const driver::FitInput input{read.arrays.time, read.arrays.precursor, read.arrays.bins,
                                 read.arrays.molar_masses, v.species, v.scenario, v.tag,
                                 config::rate_constants(v.species, v.tag)};
    const driver::FitOutcome fit = driver::fit_in_memory(input);
    return batch::fit_numbers(fit, batch::assess_solves(fit, input, quality::kDefaultSeLimit));
  }
};

TEST_F(Batch, EveryRunIsByteIdenticalToTheBinaryBuiltForItsConfiguration) {
  write_file(root() / "study.plan", plan_of({std::begin(kVariants), std::end(kVariants)}));
  const auto run = batch({"--allow-unknown-species", "--plan", "../study.plan", "-j", "3"});
  ASSERT_EQ(run.exit_status, 1) << run.err;  // C12 fails
  const auto runs = read_table(report() / "runs.csv");
  ASSERT_EQ(runs.size(), 1 + std::size(kVariants));
  const std::size_t state = column(runs, "state"), status = column(runs, "exit_status"),
                    known = column(runs, "known_species"), message = column(runs, "message");

  // The same configurations run by their own binaries in the same directory.
  fs::rename(run_dir() / "FITS", run_dir() / "FITS-batch");
  fs::create_directory(run_dir() / "FITS");
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(v.program);
    const auto own = run_program(binary(v.program), run_dir());
    const fs::path files = run_files(v.species, v.scenario, v.tag, report());
    EXPECT_EQ(read_file(with_suffix(files, ".stdout")), own.out);
    EXPECT_EQ(read_file(with_suffix(files, ".stderr")), own.err);
    EXPECT_EQ(fs::exists(with_suffix(files, ".stderr")), !own.err.empty());  // no empty file
    const CsvRow row = run_row(runs, v.species, v.scenario, v.tag);
    EXPECT_EQ(row[status], std::to_string(own.exit_status));
    const bool in_table = std::string(v.species) != "C12" && std::string(v.species) != "ABCDEFGHIJ";
    EXPECT_EQ(row[known], in_table ? "true" : "false");
    const fs::path mine = run_dir() / "FITS-batch" / results(v.species, v.scenario, v.tag).filename();
    ASSERT_EQ(fs::exists(mine), fs::exists(results(v.species, v.scenario, v.tag)));
    if (own.exit_status != 0) {
      EXPECT_EQ(row[state], "failed");
      EXPECT_EQ(row[message], own.first_err_line());
      continue;
    }
    EXPECT_EQ(row[state], "succeeded");
    EXPECT_EQ(read_file(mine), read_file(results(v.species, v.scenario, v.tag)));
    // The recorded doubles are the ones the results file rounds.
    const std::vector<std::string> written = records(mine);
    const std::vector<std::string> rounded = results_records(recorded(v));
    EXPECT_EQ(std::vector<std::string>(written.begin() + 2, written.end()), rounded);
  }
}

TEST_F(Batch, TablesHoldTheRecordedDoublesAndPythonReadsThemBackExactly) {
  if (std::system("python3 -c 'import csv' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "python3 is not installed (apt-get install python3); the CSV is not read back";
  }
  const std::vector<Variant> study = {kVariants[0], kVariants[2], kVariants[7]};
  write_file(root() / "study.plan", plan_of(study));
  ASSERT_EQ(batch({"--allow-unknown-species", "--plan", "../study.plan"}).exit_status, 0);
  // Each double of the tables as Python reads it: its eight bytes in hex.
  write_file(root() / "read.py",
             "import csv, struct, sys\n"
             "def bits(cell):\n"
             "    return struct.pack('<d', float(cell)).hex() if cell else '-'\n"
             "for row in csv.DictReader(open(sys.argv[1], newline='')):\n"
             "    print(row['species'], row['scenario'], row['tag'], row['target_bin'], row['term'],\n"
             "          bits(row['coefficient']), bits(row['lower']), bits(row['upper']), row['at_bound'])\n"
             "for row in csv.DictReader(open(sys.argv[2], newline='')):\n"
             "    print(row['species'], row['scenario'], row['tag'],\n"
             "          *[bits(row['wmol%d' % j]) for j in range(1, 7)])\n");
  const auto python = run_program("/usr/bin/env", root(),
                                  {"python3", "read.py", (report() / "coefficients.csv").string(),
                                   (report() / "runs.csv").string()});
  ASSERT_EQ(python.exit_status, 0) << python.err;

  auto hex = [](double x) {
    char text[17];
    unsigned char bytes[8];
    std::memcpy(bytes, &x, 8);
    for (int n = 0; n < 8; ++n) std::snprintf(text + 2 * n, 3, "%02x", bytes[n]);
    return std::string(text);
  };
  std::string expected;
  const char* const terms[] = {"VOC", "VB1", "VB2", "VB3", "VB4", "VB5", "VB6"};
  std::vector<batch::FitNumbers> numbers;
  for (const Variant& v : study) numbers.push_back(recorded(v));
  for (std::size_t n = 0; n < study.size(); ++n) {
    const Variant& v = study[n];
    for (int r = 1; r <= 6; ++r) {
      const quality::BinFigures& bin = numbers[n].bins[r - 1];
      for (int c = 0; c < 7; ++c) {
        expected += std::string(v.species) + " " + v.scenario + " " + v.tag + " " +
                    std::to_string(r) + " " + terms[c] + " " + hex(bin.coefficient[c]) + " " +
                    hex(bin.lower[c]) + " " + hex(bin.upper[c]) + " " +
                    (bin.coefficients[c].at_bound ? "true" : "false") + "\n";
      }
    }
  }
  for (std::size_t n = 0; n < study.size(); ++n) {
    expected += std::string(study[n].species) + " " + study[n].scenario + " " + study[n].tag;
    for (double w : numbers[n].avgwmol) expected += " " + hex(w);
    expected += "\n";
  }
  EXPECT_EQ(python.out, expected);
  // The target's own coefficient is reported in [0, 1], every other in [0, 10000].
  for (const quality::BinFigures& bin : numbers[0].bins) {
    for (int c = 0; c < 7; ++c) {
      EXPECT_LE(bin.lower[c], bin.coefficient[c]);
      EXPECT_LE(bin.coefficient[c], bin.upper[c]);
    }
  }
}

TEST_F(Batch, ParallelAnalysesGiveEveryConfigurationItsOwnRowsAndPage) {
  std::vector<Variant> study;
  for (const Variant& v : kVariants) {
    if (std::string(v.species) != "C12") study.push_back(v);
  }
  write_file(root() / "study.plan", plan_of(study));
  ASSERT_EQ(batch({"--allow-unknown-species", "--plan", "../study.plan", "-j", "4"}).exit_status, 0);
  // The tables that the recorded fits make, in run-set order.
  std::vector<batch::RunEntry> entries;
  std::vector<batch::Outcome> outcomes;
  for (const Variant& v : study) {
    entries.push_back({static_cast<int>(entries.size()) + 1, {v.species, v.scenario, v.tag}, ""});
    batch::Outcome& o = outcomes.emplace_back();
    o.numbers = recorded(v);
  }
  const batch::Tables tables = batch::table_rows(entries, outcomes);
  EXPECT_EQ(read_file(report() / "coefficients.csv"),
            batch::csv_text(batch::coefficients_header(), tables.coefficients));
  EXPECT_EQ(read_file(report() / "fits.csv"), batch::csv_text(batch::fits_header(), tables.fits));
  // Each page shows its own coefficients, in the results file's order.
  for (std::size_t n = 0; n < study.size(); ++n) {
    const Variant& v = study[n];
    SCOPED_TRACE(v.program);
    const std::string page = read_file(report() / report::page_name(v.species, v.scenario, v.tag));
    std::vector<std::string> shown, expected;
    for (std::size_t at = 0; (at = page.find("data-value=\"", at)) != std::string::npos;) {
      at += std::strlen("data-value=\"");
      shown.push_back(page.substr(at, page.find('"', at) - at));
    }
    for (const quality::BinFigures& bin : outcomes[n].numbers->bins) {
      for (double c : bin.coefficient) expected.push_back(report::exact(c));
    }
    EXPECT_EQ(shown, expected);
    EXPECT_NE(page.find("<span id=\"tag\">" + std::string(v.tag) + "</span>"), std::string::npos);
  }
}

TEST_F(Batch, AFailingConfigurationStaysInItsRowAndDisturbsNoOther) {
  // A field that is not a number, a missing simulation, a results file made
  // before, among good configurations.
  const fs::path bins = root() / "INPUTS_ODE/5days/0.1_aer.API_OH/aer.cdis_all.6";
  std::vector<std::string> lines = records(bins);
  lines[4].replace(13, 13, "          abc");
  std::string spoiled;
  for (const std::string& line : lines) spoiled += line + "\n";
  write_file(bins, spoiled);
  write_file(results("OLE2_OH", "0.1", "no6"), "made before\n");
  // The batch's own trouble: a configuration's output file cannot be made.
  fs::create_directories(report() / "runs" / "ideal,0.1,allgas.stdout");
  write_file(root() / "study.plan",
             "OLE2_OH,0.1,allgas\nAPI_OH,0.1,allgas\nTOL,0.1,allgas\nOLE2_OH,0.1,no6\n"
             "ideal,0.1,allgas\nOLE2_OH,0.1,static\n");

  const auto run = batch({"--allow-unknown-species", "--plan", "../study.plan", "-j", "2"});
  EXPECT_EQ(run.exit_status, 1);
  const std::string inputs = run_dir().string() + "/../INPUTS_ODE/5days/";
  const std::string api_message =
      "forrtl: severe (64): input conversion error, unit 30, file " + inputs +
      "0.1_aer.API_OH/aer.cdis_all.6; aer.cdis_all.6 line 5, columns 14-26: 'abc'";
  const std::string tol_message =
      "forrtl: severe (29): file not found, unit 20, file " + inputs + "0.1_aer.TOL/aer.precursor";
  const std::string stale =
      "FITS/fit6_coef.OLE2_OH.0.1.no6 does not match its inputs: they changed since it was "
      "written, or the file was edited; --refit replaces it";
  const auto runs = read_table(report() / "runs.csv");
  const std::size_t state = column(runs, "state"), status = column(runs, "exit_status"),
                    message = column(runs, "message"), wmol1 = column(runs, "wmol1");
  const struct {
    const char* species;
    const char* tag;
    const char* state;
    const char* status;
    std::string message;
    bool numbers;
  } expected[] = {
      {"OLE2_OH", "allgas", "succeeded", "0", "", true},
      {"API_OH", "allgas", "failed", "64", api_message, false},
      {"TOL", "allgas", "failed", "29", tol_message, false},
      {"OLE2_OH", "no6", "stale", "", stale, false},
      {"ideal", "allgas", "failed", "",
       "vbsfit-batch: cannot create ./vbsfit-report/runs/ideal,0.1,allgas.stdout: Is a directory",
       false},
      {"OLE2_OH", "static", "succeeded", "0", "", true},
  };
  ASSERT_EQ(runs.size(), 1 + std::size(expected));
  for (const auto& e : expected) {
    SCOPED_TRACE(e.species + std::string("/") + e.tag);
    const CsvRow row = run_row(runs, e.species, "0.1", e.tag);
    EXPECT_EQ(row[state], e.state);
    EXPECT_EQ(row[status], e.status);
    EXPECT_EQ(row[message], e.message);
    EXPECT_EQ(row[wmol1].empty(), !e.numbers);
  }
  EXPECT_EQ(read_file(results("OLE2_OH", "0.1", "no6")), "made before\n");
  EXPECT_TRUE(fs::exists(results("OLE2_OH", "0.1", "static")));  // the run itself succeeded
  EXPECT_EQ(read_table(report() / "coefficients.csv").size(), 1 + 2 * 6 * 7u);
  EXPECT_EQ(read_table(report() / "fits.csv").size(), 1 + 2 * 6u);

  // The bad field ends the batch's run as it ends vbsfit's own.
  const auto own = run_program(binary("vbsfit_api_oh"), run_dir());
  const fs::path files = run_files("API_OH", "0.1", "allgas", report());
  EXPECT_EQ(read_file(with_suffix(files, ".stdout")), own.out);
  EXPECT_EQ(read_file(with_suffix(files, ".stderr")), own.err);
  EXPECT_EQ(own.exit_status, 64);

  // Not a terminal: only the summary, with each failure's first line.
  EXPECT_EQ(run.err.find('\r'), std::string::npos);
  EXPECT_EQ(run.err,
            "vbsfit-batch: 6 configurations: 2 succeeded, 0 kept, 3 failed, 1 stale\n"
            "  failed: API_OH/0.1/allgas (exit status 64): " + api_message + "\n" +
            "  failed: TOL/0.1/allgas (exit status 29): " + tol_message + "\n" +
            "  stale: OLE2_OH/0.1/no6: " + stale + "\n" +
            "  failed: ideal/0.1/allgas: vbsfit-batch: cannot create "
            "./vbsfit-report/runs/ideal,0.1,allgas.stdout: Is a directory\n"
            "  failed configurations stay in the study until they are fitted; --forget with a "
            "run set of only them (--species, --scenario, --tag or --plan) removes them\n"
            "  2 coefficients undetermined in 1 of 2 configurations; see the report\n"
            "  6 target bins in 1 configuration misfit: the model does not describe their data "
            "(residuals' lag-1 autocorrelation above 0.2); see the report\n"
            "  report: ./vbsfit-report/index.html\n");
}

TEST_F(Batch, ARerunKeepsEverythingAndShowsTheSameNumbers) {
  const std::vector<std::string> args = {"--species", "OLE2_OH,API_OH,NEW", "--tag",
                                         "allgas,no6", "--report", "../report",
                                         "--allow-unknown-species"};
  const auto first = batch(args);
  EXPECT_EQ(first.exit_status, 1);  // NEW has no simulation
  const fs::path report_dir = root() / "report";
  const auto first_runs = read_table(report_dir / "runs.csv");
  const std::string coefficients = read_file(report_dir / "coefficients.csv");
  const std::string fits = read_file(report_dir / "fits.csv");

  const auto second = batch(args);
  EXPECT_EQ(second.exit_status, 1);  // still failing, and run again
  EXPECT_EQ(second.err.substr(0, second.err.find('\n')),
            "vbsfit-batch: 6 configurations: 0 succeeded, 4 kept, 2 failed");
  EXPECT_NE(second.err.find("not in the species table, run with the default rate constants: "
                            "NEW (2)"),
            std::string::npos);
  EXPECT_EQ(read_file(report_dir / "coefficients.csv"), coefficients);
  EXPECT_EQ(read_file(report_dir / "fits.csv"), fits);
  const auto second_runs = read_table(report_dir / "runs.csv");
  ASSERT_EQ(second_runs.size(), first_runs.size());
  const std::size_t state = column(second_runs, "state");
  for (std::size_t n = 1; n < first_runs.size(); ++n) {
    CsvRow was = first_runs[n], is = second_runs[n];
    if (was[state] == "succeeded") {
      EXPECT_EQ(is[state], "kept");
      // Only what belongs to a run differs: its state, status and time.
      for (const char* name : {"state", "exit_status", "seconds"}) {
        was[column(first_runs, name)] = is[column(second_runs, name)] = "";
      }
    } else {
      was[column(first_runs, "seconds")] = is[column(second_runs, "seconds")] = "";
    }
    EXPECT_EQ(is, was);
  }

  // A results file that is not what its inputs fit to is stale, without numbers.
  const fs::path changed = results("API_OH", "0.1", "no6");
  write_file(changed, read_file(changed) + "  0.100E+01\n");
  EXPECT_EQ(batch(args).exit_status, 1);
  const CsvRow row = run_row(read_table(report_dir / "runs.csv"), "API_OH", "0.1", "no6");
  EXPECT_EQ(row[state], "stale");
  EXPECT_EQ(row[column(second_runs, "message")],
            "FITS/fit6_coef.API_OH.0.1.no6 does not match its inputs: they changed since it was "
            "written, or the file was edited; --refit replaces it");
  EXPECT_EQ(row[column(second_runs, "wmol1")], "");
  EXPECT_EQ(batch([&] { auto a = args; a.push_back("--refit"); return a; }()).exit_status, 1);
  EXPECT_EQ(run_row(read_table(report_dir / "runs.csv"), "API_OH", "0.1", "no6")[state],
            "succeeded");

  // Once a configuration that failed succeeds, no message of its failure is left.
  const fs::path new_files = run_files("NEW", "0.1", "allgas", report_dir);
  EXPECT_NE(read_file(with_suffix(new_files, ".stderr")), "");
  ASSERT_EQ(run_program(binary("vbsgen"), root(),
                        {"--species", "NEW", "--scenario", "0.1", "--seed", "5", "--output", ".",
                         "--allow-unknown-species"})
                .exit_status,
            0);
  EXPECT_EQ(batch(args).exit_status, 0);
  EXPECT_FALSE(fs::exists(with_suffix(new_files, ".stderr")));
  EXPECT_NE(read_file(with_suffix(new_files, ".stdout")), "");
}

TEST_F(Batch, ShardsAreDisjointCoverTheStudyAndJoinToItsTables) {
  write_file(root() / "study.plan",
             plan_of({kVariants[0], kVariants[1], kVariants[2], kVariants[4], kVariants[5],
                      kVariants[6], kVariants[7]}));
  // The whole study at once, in a working directory of its own beside run/.
  const fs::path whole_dir = root() / "whole";
  fs::create_directories(whole_dir / "FITS");
  for (const char* file : {"aer.ideal", "aer.precursor.ideal"}) {
    fs::copy_file(run_dir() / file, whole_dir / file);
  }
  const auto whole_run = run_program(binary("vbsfit-batch"), whole_dir,
                                     {"--allow-unknown-species", "--plan", "../study.plan"});
  ASSERT_EQ(whole_run.exit_status, 0) << whole_run.err;

  std::vector<std::string> merge = {"--merge", "--report", "../joined"};
  std::vector<int> seen;
  for (int k = 1; k <= 3; ++k) {
    const std::string report_dir = "../shard-" + std::to_string(k);
    const auto run = batch({"--allow-unknown-species", "--plan", "../study.plan", "--shard",
                            std::to_string(k) + "/3", "--report", report_dir});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    for (const CsvRow& row : read_table(run_dir() / report_dir / "runs.csv")) {
      if (row[0] == "run") continue;
      const int number = std::stoi(row[0]);
      EXPECT_EQ((number - 1) % 3 + 1, k) << row[0];
      seen.push_back(number);
    }
    merge.push_back(report_dir);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));

  // Shards in any order; a share missing or given twice is refused.
  std::swap(merge[3], merge[5]);
  const auto joined = batch(merge);
  ASSERT_EQ(joined.exit_status, 0) << joined.err;
  const fs::path joined_dir = root() / "joined", whole = whole_dir / "vbsfit-report";
  // The merge summarizes the joined study as the batch summarized the whole
  // one, but for where its report is.
  auto without_report = [](const std::string& err) { return err.substr(0, err.rfind("  report: ")); };
  EXPECT_EQ(without_report(joined.err), without_report(whole_run.err));
  EXPECT_EQ(read_file(joined_dir / "coefficients.csv"), read_file(whole / "coefficients.csv"));
  EXPECT_EQ(read_file(joined_dir / "fits.csv"), read_file(whole / "fits.csv"));
  // A page without what it says of the batch that made it: the line "Fitted
  // ... by ... on ...", the provenance section, the index's table of batches.
  auto without_provenance = [](std::string page) {
    for (const auto& [from, to] : {std::pair{"<p id=\"made\">", "</p>\n"},
                                   std::pair{"<section id=\"provenance\">", "</section>\n"},
                                   std::pair{"<table id=\"batches\">", "</table>\n"}}) {
      const std::size_t at = page.find(from);
      if (at != std::string::npos) page.erase(at, page.find(to, at) + std::strlen(to) - at);
    }
    return page;
  };
  auto without_seconds = [](std::vector<CsvRow> table) {
    const std::size_t seconds = column(table, "seconds");
    for (CsvRow& row : table) row[seconds] = "";
    return table;
  };
  EXPECT_EQ(without_seconds(read_table(joined_dir / "runs.csv")),
            without_seconds(read_table(whole / "runs.csv")));
  for (const Variant* v : {&kVariants[0], &kVariants[7]}) {
    const fs::path files = run_files(v->species, v->scenario, v->tag, joined_dir);
    EXPECT_EQ(read_file(with_suffix(files, ".stdout")),
              read_file(with_suffix(run_files(v->species, v->scenario, v->tag, whole), ".stdout")));
  }
  // The joined report's pages are the whole study's, but for the batch that
  // made them: the shards' batches are not the whole study's.
  for (const char* page : {"index.html", "OLE2_OH,0.1,allgas.html", "OLE2_OH,0.1,no56.html"}) {
    EXPECT_EQ(without_provenance(read_file(joined_dir / page)),
              without_provenance(read_file(whole / page)))
        << page;
  }
  EXPECT_EQ(read_file(joined_dir / "models.csv"), read_file(whole / "models.csv"));

  // A share flagged under another limit (its runs are kept: they ran above).
  ASSERT_EQ(batch({"--allow-unknown-species", "--plan", "../study.plan", "--shard", "1/3", "--se-limit", "0.5", "--report",
                   "../shard-1-lenient"})
                .exit_status,
            0);
  const struct {
    std::vector<std::string> shards;
    std::string refusal;
  } refused[] = {
      {{"../shard-1", "../shard-2"},
       "vbsfit-batch: the study of share 3/3 is missing; give every share's study"},
      {{"../shard-1", "../shard-2", "../shard-2", "../shard-3"},
       "vbsfit-batch: ../shard-2/study.sqlite is given twice (as ../shard-2/study.sqlite)"},
      {{"../joined", "../shard-1"},
       "vbsfit-batch: ../joined/study.sqlite holds batches of more than one run set or shard "
       "(3/3 and 2/3): it is not one shard's study"},
      {{"../run"}, "vbsfit-batch: ../run is not a report of vbsfit-batch (no study.sqlite)"},
      {{"../shard-2", "../shard-1-lenient", "../shard-3"},
       "vbsfit-batch: ../shard-1-lenient/study.sqlite was flagged under other limits "
       "(--se-limit, --misfit-limit) than ../shard-2/study.sqlite"},
  };
  for (const auto& r : refused) {
    std::vector<std::string> args = {"--merge", "--report", "../refused"};
    args.insert(args.end(), r.shards.begin(), r.shards.end());
    const auto run = batch(args);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.first_err_line(), r.refusal);
  }
  EXPECT_FALSE(fs::exists(root() / "refused"));
}

// A configuration kept from a results file made before never ran, so its
// share has no run directory for it: the shares still join. A share of
// another run set of the same size is refused, even when its run numbers and
// configurations would fit together.
TEST_F(Batch, SharesJoinWithoutRunDirectoriesButOnlyWithinOneRunSet) {
  ASSERT_EQ(batch({"--tag", "no6", "--report", "../before"}).exit_status, 0);
  write_file(root() / "a.plan", "OLE2_OH,0.1,allgas\nOLE2_OH,0.1,no6\n");
  write_file(root() / "b.plan", "API_OH,0.1,allgas\nOLE2_OH,0.1,no6\n");
  for (const char* share : {"a,1", "a,2", "b,2"}) {
    const std::string plan(share, 1), k(share + 2);
    const auto run = batch({"--plan", "../" + plan + ".plan", "--shard", k + "/2", "--report",
                            "../" + plan + "-" + k});
    ASSERT_EQ(run.exit_status, 0) << share << run.err;
  }
  ASSERT_FALSE(fs::exists(with_suffix(run_files("OLE2_OH", "0.1", "no6", root() / "a-2"), ".stdout")));

  const auto joined = batch({"--merge", "--report", "../joined", "../a-1", "../a-2"});
  ASSERT_EQ(joined.exit_status, 0) << joined.err;
  const auto runs = read_table(root() / "joined" / "runs.csv");
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(run_row(runs, "OLE2_OH", "0.1", "no6")[column(runs, "state")], "kept");
  EXPECT_EQ(run_row(runs, "OLE2_OH", "0.1", "allgas")[column(runs, "state")], "succeeded");

  // Joined again, the report is the shares' alone: nothing of the first join
  // stays beside it. A file that is not the report's is left, and named.
  write_file(root() / "joined" / "left-over.html", "from before\n");
  write_file(with_suffix(run_files("OLE2_OH", "0.1", "no6", root() / "joined"), ".stderr"),
             "old failure\n");
  const auto again = batch({"--merge", "--report", "../joined", "../a-1", "../a-2"});
  ASSERT_EQ(again.exit_status, 0) << again.err;
  EXPECT_EQ(read_file(root() / "joined" / "left-over.html"), "from before\n");
  EXPECT_EQ(again.first_err_line(),
            "vbsfit-batch: warning: the report ../joined holds files that are not the report's "
            "(left as they are): left-over.html");
  EXPECT_FALSE(
      fs::exists(with_suffix(run_files("OLE2_OH", "0.1", "no6", root() / "joined"), ".stderr")));
  EXPECT_EQ(read_table(root() / "joined" / "runs.csv"), runs);

  const auto mixed = batch({"--merge", "--report", "../mixed", "../a-1", "../b-2"});
  EXPECT_EQ(mixed.exit_status, 2);
  EXPECT_EQ(mixed.first_err_line(),
            "vbsfit-batch: ../b-2/study.sqlite holds a share of another run set than "
            "../a-1/study.sqlite");
  EXPECT_FALSE(fs::exists(root() / "mixed"));
}

// The summary lists the first 20 failures and counts the rest.
TEST_F(Batch, TwentyTwoFailuresListTwentyAndCountTwoMore) {
  auto name = [](int n) { return (n < 10 ? "F0" : "F") + std::to_string(n); };
  std::string species = name(1);
  for (int n = 2; n <= 22; ++n) species += "," + name(n);
  const auto run = batch({"--species", species, "--allow-unknown-species"});
  EXPECT_EQ(run.exit_status, 1);
  const std::vector<std::string> lines = testsupport::lines_of(run.err);
  ASSERT_GE(lines.size(), 23u) << run.err;
  EXPECT_EQ(lines[0], "vbsfit-batch: 22 configurations: 0 succeeded, 0 kept, 22 failed");
  const std::string inputs = run_dir().string() + "/../INPUTS_ODE/5days/0.1_aer.";
  for (int n = 1; n <= 20; ++n) {
    EXPECT_EQ(lines[n], "  failed: " + name(n) + "/0.1/allgas (exit status 29): forrtl: severe "
                        "(29): file not found, unit 20, file " + inputs + name(n) + "/aer.precursor");
  }
  EXPECT_EQ(lines[21], "  ... and 2 more; see runs.csv");
}

}  // namespace
