// What a rerun compares before it keeps a fit without refitting it: besides
// the inputs and the results file, the rate constants the species table
// gives now and the layout (a changed row is noticed, and --refit fits it
// again with what the table says), and the limit its flags were judged by
// (the kept numbers are flagged anew, the results files left as they are).
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "batch/run_set.hpp"
#include "batch/tables.hpp"
#include "batch_study.hpp"
#include "config/config.hpp"
#include "config/species_file.hpp"
#include "report/report.hpp"
#include "study/study.hpp"

namespace {

namespace fs = std::filesystem;
using batch::CsvRow;
using testsupport::column;
using testsupport::read_file;
using testsupport::read_table;
using testsupport::run_row;
using testsupport::write_file;

// The shortest text that reads back to `value`.
template <typename Number> std::string shortest(Number value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// A row of a species table file.
std::string table_row(const std::string& name, float kp, float multiplier, float multiplier6,
                        const char* layout) {
  return name + "," + shortest(kp) + "," + shortest(multiplier) + "," + shortest(multiplier6) +
         "," + layout + "\n";
}

// The median of a table's column `value` over the rows whose column `by`
// holds `label`.
double median_of(const std::vector<CsvRow>& table, std::size_t value, std::size_t by,
                 const std::string& label) {
  std::vector<double> values;
  for (std::size_t n = 1; n < table.size(); ++n) {
    if (table[n][by] == label) values.push_back(std::stod(table[n][value]));
  }
  EXPECT_GE(values.size(), 2u) << label;
  if (values.empty()) return 0.0;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

class Rerun : public testsupport::BatchStudy {
 protected:
  // The study's record of one configuration.
  study::ConfigurationRecord recorded(const batch::Configuration& c) {
    study::Study db;
    std::optional<study::Stored> found;
    EXPECT_FALSE(study::Study::open((report() / study::kDatabaseName).string(), db, true));
    EXPECT_FALSE(db.find({c.species, c.scenario, c.tag}, found));
    EXPECT_TRUE(found.has_value());
    return found ? found->record : study::ConfigurationRecord{};
  }
};

TEST_F(Rerun, AChangedSpeciesRowOrLayoutIsNoticedAndRefitWithTheTableAsItIsNow) {
  const config::SpeciesRow& ole = *config::find_species("OLE2_OH");
  const struct {
    const char* what;
    batch::Configuration config;
    std::string before;  // the species table it is first fitted with ("": none)
    std::string after;   // the table changed
    float kp_after;      // the kp `after` gives it
    const char* precursor_after;  // the precursor input `after` reads
    const char* stale;            // why the fit is stale once the table is as before
  } cases[] = {
      {"a typo of kp corrected",
       {"ABCDEFGHIJ", "NOX_LABEL_20_CHARS__", "allgas"},
       table_row("ABCDEFGHIJ", 1.4e-3f, 4e-5f, 4e-5f, "standard"),
       table_row("ABCDEFGHIJ", 1.4e-4f, 4e-5f, 4e-5f, "standard"),
       1.4e-4f,
       "../INPUTS_ODE/5days/NOX_LABEL_20_CHARS___aer.ABCDEFGHIJ/aer.precursor",
       "FITS/fit6_coef.ABCDEFGHIJ.NOX_LABEL_20_CHARS__.allgas was fitted with other rate "
       "constants than the species table gives now; --refit replaces it"},
      {"a built-in species given other constants",
       {"OLE2_OH", "0.1", "no6"},
       "",
       table_row("OLE2_OH", ole.kp * 2, ole.multiplier, ole.multiplier6 * 3, "standard"),
       ole.kp * 2,
       "../INPUTS_ODE/5days/0.1_aer.OLE2_OH/aer.precursor",
       "FITS/fit6_coef.OLE2_OH.0.1.no6 was fitted with other rate constants than the species "
       "table gives now; --refit replaces it"},
      {"a built-in species given the other layout",
       {"OLE2_OH", "0.1", "allgas"},
       "",
       table_row("OLE2_OH", ole.kp, ole.multiplier, ole.multiplier6, "ideal"),
       ole.kp,
       "aer.precursor.ideal",
       "FITS/fit6_coef.OLE2_OH.0.1.allgas does not match its inputs: they changed since it was "
       "written, or the file was edited; --refit replaces it"},
  };
  const fs::path table = root() / "species.csv";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const batch::Configuration& k = c.config;
    fs::remove_all(report());
    fs::remove(results(k.species, k.scenario, k.tag));
    auto args = [&](const std::string& species, bool refit) {
      std::vector<std::string> a = {"--species", k.species, "--scenario", k.scenario, "--tag",
                                    k.tag,       "-j",      "1",          "--no-pages"};
      if (!species.empty()) {
        write_file(table, std::string(config::kSpeciesFileHeader) + "\n" + species);
        a.insert(a.end(), {"--species-table", "../species.csv"});
      }
      if (refit) a.push_back("--refit");
      return a;
    };
    auto state = [&] {
      const auto runs = read_table(report() / batch::kRunsTable);
      return run_row(runs, k.species, k.scenario, k.tag)[column(runs, "state")];
    };
    const fs::path file = results(k.species, k.scenario, k.tag);
    const auto first = batch(args(c.before, false));
    ASSERT_EQ(first.exit_status, 0) << first.err;
    const std::string fitted_before = read_file(file);

    // --refit refits what its record no longer stands for, and the record
    // then holds the constants and inputs of the new fit.
    const auto refit = batch(args(c.after, true));
    EXPECT_EQ(refit.exit_status, 0) << refit.err;
    EXPECT_EQ(refit.err.rfind("vbsfit-batch: 1 configuration: 1 succeeded, 0 kept", 0), 0u)
        << refit.err;
    const std::string fitted_after = read_file(file);
    EXPECT_NE(fitted_after, fitted_before);
    const study::ConfigurationRecord record = recorded(k);
    EXPECT_EQ(record.state, "succeeded");
    EXPECT_EQ(record.kp, static_cast<double>(c.kp_after));
    EXPECT_EQ(record.inputs[study::kPrecursor].path, c.precursor_after);

    // Unchanged since: kept.
    EXPECT_EQ(batch(args(c.after, false)).exit_status, 0);
    EXPECT_EQ(state(), "kept");

    // The table as it was: the fit on disk is not what it gives.
    const auto back = batch(args(c.before, false));
    EXPECT_EQ(back.exit_status, 1) << back.err;
    EXPECT_EQ(state(), "stale");
    EXPECT_NE(back.err.find("  stale: " + batch::display_name(k) + ": " + c.stale + "\n"),
              std::string::npos)
        << back.err;
    EXPECT_EQ(read_file(file), fitted_after);
    fs::remove(table);
  }
}

TEST_F(Rerun, OtherLimitsFlagTheKeptNumbersAnewAndLeaveTheResultsFiles) {
  const std::vector<std::string> args = {"--species", "OLE2_OH,API_OH", "--scenario", "0.1",
                                         "--tag",     "allgas,no6",     "-j",         "2",
                                         "--no-pages"};
  ASSERT_EQ(batch(args).exit_status, 0);
  std::vector<std::pair<fs::path, fs::file_time_type>> files;
  for (const char* species : {"OLE2_OH", "API_OH"}) {
    for (const char* tag : {"allgas", "no6"}) {
      const fs::path file = results(species, "0.1", tag);
      files.emplace_back(file, fs::last_write_time(file));
    }
  }
  // A limit that half the trusted coefficients exceed: their median
  // standard error.
  const auto coefficients = read_table(report() / batch::kCoefficientsTable);
  const std::size_t se = column(coefficients, "standard_error"),
                    flag = column(coefficients, "flag");
  const double se_limit = median_of(coefficients, se, flag, "trusted");

  std::vector<std::string> again = args;
  again.insert(again.end(), {"--se-limit", shortest(se_limit)});
  const auto rerun = batch(again);
  EXPECT_EQ(rerun.exit_status, 0) << rerun.err;
  EXPECT_EQ(rerun.err.rfind("vbsfit-batch: 4 configurations: 0 succeeded, 4 kept", 0), 0u)
      << rerun.err;
  for (const auto& [file, time] : files) EXPECT_EQ(fs::last_write_time(file), time) << file;

  const auto coefficients_after = read_table(report() / batch::kCoefficientsTable);
  ASSERT_EQ(coefficients_after.size(), coefficients.size());
  int changed = 0;
  for (std::size_t n = 1; n < coefficients.size(); ++n) {
    const CsvRow& row = coefficients_after[n];
    if (coefficients[n][flag] != "trusted") {
      EXPECT_EQ(row[flag], coefficients[n][flag]);  // a lower limit leaves these
      continue;
    }
    EXPECT_EQ(row[flag], std::stod(row[se]) <= se_limit ? "trusted" : "undetermined");
    changed += row[flag] != coefficients[n][flag];
  }
  EXPECT_GT(changed, 0);
}

}  // namespace

// A species the --species-table file gives (one in another layout than its
// built-in row's, one the built-in table lacks) is fitted, recorded with its
// numbers and its page, and kept by a rerun with the same table. Its
// species columns in runs.csv are what the batch that fitted it used, also
// after a later batch without the table (of another configuration) wrote
// the tables again.
TEST_F(Rerun, ASpeciesOfTheTableFileKeepsItsRowInTheRecordAndEveryLaterTable) {
  const config::SpeciesRow& ole = *config::find_species("OLE2_OH");
  const config::SpeciesRow& api = *config::find_species("API_OH");
  const struct {
    const char* what;
    batch::Configuration config;
    std::string row;     // its row in the table file
    const char* source;  // runs.csv's species_source
  } cases[] = {
      {"a built-in species in the other layout",
       {"OLE2_OH", "0.1", "allgas"},
       table_row("OLE2_OH", ole.kp, ole.multiplier, ole.multiplier6, "ideal"),
       "file-replaces-built-in"},
      {"a built-in species copied as it is",
       {"API_OH", "0.1", "no6"},
       table_row("API_OH", api.kp, api.multiplier, api.multiplier6, "standard"),
       "file-replaces-built-in"},
      {"a species only the file has",
       {"ABCDEFGHIJ", "NOX_LABEL_20_CHARS__", "no6"},
       table_row("ABCDEFGHIJ", 1.4e-4f, 4e-5f, 3e-5f, "standard"),
       "file"},
  };
  const batch::Configuration other{"API_OH", "0.1", "allgas"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const batch::Configuration& k = c.config;
    fs::remove_all(report());
    write_file(root() / "species.csv", std::string(config::kSpeciesFileHeader) + "\n" + c.row);
    const std::vector<std::string> with_table = {
        "--species", k.species, "--scenario", k.scenario, "--tag", k.tag,
        "-j", "1", "--species-table", "../species.csv", "--refit"};
    auto species_columns = [&] {
      const auto runs = read_table(report() / batch::kRunsTable);
      const CsvRow row = run_row(runs, k.species, k.scenario, k.tag);
      return row[column(runs, "state")] + " " + row[column(runs, "known_species")] + " " +
             row[column(runs, "species_source")];
    };

    const auto first = batch(with_table);
    ASSERT_EQ(first.exit_status, 0) << first.err;
    EXPECT_EQ(first.err.find("not recorded"), std::string::npos) << first.err;
    EXPECT_EQ(species_columns(), std::string("succeeded true ") + c.source);
    EXPECT_TRUE(fs::exists(report() / report::page_name(k.species, k.scenario, k.tag)));
    {
      study::Study db;
      std::optional<study::Stored> found;
      ASSERT_FALSE(study::Study::open((report() / study::kDatabaseName).string(), db, true));
      ASSERT_FALSE(db.find({k.species, k.scenario, k.tag}, found));
      ASSERT_TRUE(found.has_value());
      EXPECT_EQ(found->coefficients.size(), std::size_t{config::kBins * config::kCoefficients});
    }

    std::vector<std::string> again = with_table;
    again.pop_back();  // without --refit
    const auto rerun = batch(again);
    EXPECT_EQ(rerun.exit_status, 0) << rerun.err;
    EXPECT_EQ(species_columns(), std::string("kept true ") + c.source);

    // Another configuration, without the table: the record's row stands.
    const auto later = batch({"--species", other.species, "--scenario", other.scenario, "--tag",
                              other.tag, "-j", "1", "--no-pages"});
    EXPECT_EQ(later.exit_status, 0) << later.err;
    EXPECT_EQ(species_columns(), std::string("kept true ") + c.source);
  }
}
