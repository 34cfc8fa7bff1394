// vbsfit-batch on inputs that are broken or longer than a fit reads: the
// tables, the summary and the index page say where, while the run's own
// standard error stays the one vbsfit writes.
#include <gtest/gtest.h>

#include "batch_study.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::column;
using testsupport::read_file;
using testsupport::read_table;
using testsupport::run_row;
using testsupport::write_file;

class BatchInputs : public testsupport::BatchStudy {
 protected:
  fs::path inputs(const std::string& species) const {
    return root() / ("INPUTS_ODE/5days/0.1_aer." + species);
  }
  // Replaces `columns` characters of line `line` (from 1) of `file` at
  // column `first` (from 1) with `text`.
  static void overwrite(const fs::path& file, int line, std::size_t first,
                        const std::string& text) {
    std::vector<std::string> lines = testsupport::lines_of(read_file(file));
    lines[static_cast<std::size_t>(line) - 1].replace(first - 1, text.size(), text);
    std::string joined;
    for (const std::string& l : lines) joined += l + "\n";
    write_file(file, joined);
  }
  static void keep_lines(const fs::path& file, std::size_t count) {
    std::vector<std::string> lines = testsupport::lines_of(read_file(file));
    lines.resize(count);
    std::string joined;
    for (const std::string& l : lines) joined += l + "\n";
    write_file(file, joined);
  }
  std::string message_of(const std::string& species, const std::string& tag = "allgas") const {
    const auto runs = read_table(report() / "runs.csv");
    return run_row(runs, species, "0.1", tag)[column(runs, "message")];
  }
};

TEST_F(BatchInputs, AFieldThatIsNotANumberIsLocatedInTheTablesSummaryAndPage) {
  overwrite(inputs("OLE2_OH") / "aer.cdis_all.6", 17, 27, "    0.1x3E-01");
  const auto run = batch({});
  ASSERT_EQ(run.exit_status, 1) << run.err;
  const std::string where = "aer.cdis_all.6 line 17, columns 27-39: '0.1x3E-01'";
  const std::string message = message_of("OLE2_OH");
  EXPECT_EQ(message.rfind("forrtl: severe (64): input conversion error, unit 30, file ", 0), 0u);
  EXPECT_EQ(message.substr(message.size() - where.size() - 2), "; " + where);
  EXPECT_NE(run.err.find(where), std::string::npos) << run.err;
  EXPECT_NE(read_file(report() / "index.html")
                .find("aer.cdis_all.6 line 17, columns 27-39: &#39;0.1x3E-01&#39;"),
            std::string::npos);
  // The run's own standard error is vbsfit's, without the location.
  const std::string err = read_file(with_suffix(run_files("OLE2_OH", "0.1", "allgas", report()), ".stderr"));
  EXPECT_EQ(err.rfind("forrtl: severe (64): input conversion error, unit 30, file ", 0), 0u);
  EXPECT_EQ(err.find("line 17"), std::string::npos);
}

// The last record a fit reads is searched like the first: line 1442 of a
// file with a header line, line 1441 of one without.
TEST_F(BatchInputs, AFaultInTheLastRecordReadIsLocated) {
  overwrite(inputs("OLE2_OH") / "aer.precursor", 1442, 14, "   0.8x63E-25");
  overwrite(inputs("API_OH") / "aer.cdis_all.6", 1441, 27, "    0.1x3E-01");
  const auto run = batch({"--species", "OLE2_OH,API_OH"});
  ASSERT_EQ(run.exit_status, 1) << run.err;
  const std::string ole = message_of("OLE2_OH"), api = message_of("API_OH");
  EXPECT_TRUE(ole.ends_with("; aer.precursor line 1442, columns 14-26: '0.8x63E-25'")) << ole;
  EXPECT_TRUE(api.ends_with("; aer.cdis_all.6 line 1441, columns 27-39: '0.1x3E-01'")) << api;
}

TEST_F(BatchInputs, AnIdealValueThatIsNotANumberIsLocated) {
  // Record 5 of the bins: line 6 after the header line.
  const fs::path bins = run_dir() / "aer.ideal";
  std::string line = testsupport::lines_of(read_file(bins))[5];
  const std::size_t first = line.find_first_not_of(' ');
  const std::size_t second = line.find_first_not_of(' ', line.find(' ', first));
  const std::size_t end = line.find(' ', second);
  overwrite(bins, 6, second + 1, std::string(end - second - 1, '#') + "x");
  const auto run = batch({"--species", "ideal"});
  ASSERT_EQ(run.exit_status, 1) << run.err;
  const std::string message = message_of("ideal");
  EXPECT_EQ(message.rfind("forrtl: severe (59)", 0), 0u) << message;
  EXPECT_NE(message.find("; aer.ideal line 6, columns " + std::to_string(second + 1) + "-" +
                         std::to_string(end) + ": '"),
            std::string::npos)
      << message;
}

TEST_F(BatchInputs, AnEarlyEndSaysHowManyRecordsTheFileHeld) {
  keep_lines(inputs("OLE2_OH") / "aer.precursor", 1 + 1000);  // the header and 1000 records
  keep_lines(inputs("API_OH") / "aer.wmol_vbs.6", 1440);
  const auto run = batch({"--species", "OLE2_OH,API_OH"});
  ASSERT_EQ(run.exit_status, 1) << run.err;
  EXPECT_NE(message_of("OLE2_OH").find(
                "end-of-file during read, unit 20, file "),
            std::string::npos);
  const std::string ole = message_of("OLE2_OH"), api = message_of("API_OH");
  EXPECT_EQ(ole.substr(ole.find("; ")),
            "; aer.precursor holds 1000 data records of the 1441 needed");
  EXPECT_EQ(api.substr(api.find("; ")),
            "; aer.wmol_vbs.6 holds 1440 data records of the 1441 needed");
  EXPECT_NE(run.err.find("of the 1441 needed"), std::string::npos);
}

TEST_F(BatchInputs, OtherFailuresKeepTheirMessageAsItWas) {
  const auto run = batch({"--species", "TOL"});  // no simulation: message 29
  ASSERT_EQ(run.exit_status, 1);
  EXPECT_EQ(message_of("TOL").find("; "), std::string::npos) << message_of("TOL");
}

TEST_F(BatchInputs, MoreRecordsThanAFitReadsGiveAWarningAndAColumn) {
  const auto made = testsupport::run_program(testsupport::binary("vbsgen"), root(),
                                             {"--species", "TOL", "--records", "2881"});
  ASSERT_EQ(made.exit_status, 0) << made.err;
  const auto run = batch({"--species", "TOL,OLE2_OH"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("\n  warning: input files with more than 1441 records, of which the fit "
                         "used the first 1441: TOL/0.1/allgas (2881)\n"),
            std::string::npos)
      << run.err;
  const auto runs = read_table(report() / "runs.csv");
  EXPECT_EQ(run_row(runs, "TOL", "0.1", "allgas")[column(runs, "input_records")], "2881");
  EXPECT_EQ(run_row(runs, "OLE2_OH", "0.1", "allgas")[column(runs, "input_records")], "");
  // Kept on the next batch, and still noted.
  const auto again = batch({"--species", "TOL"});
  EXPECT_NE(again.err.find("TOL/0.1/allgas (2881)"), std::string::npos) << again.err;
}

}  // namespace
