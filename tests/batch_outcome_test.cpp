// The tally of a batch's outcomes, and what reads it: the progress line, the
// summary, the index page and the exit status say the same.
#include "batch/outcome.hpp"

#include <gtest/gtest.h>

#include "batch/pages.hpp"
#include "batch/progress.hpp"
#include "batch/summary.hpp"
#include "batch/tables.hpp"
#include "run_program.hpp"

namespace {

using batch::State;

TEST(Tally, ASuccessWithANoteIsASuccessInTheProgressTheSummaryTheIndexAndTheStatus) {
  const std::vector<batch::RunEntry> entries = {
      {1, {"OLE2_OH", "0.1", "allgas"}, ""},
      {2, {"OLE2_OH", "0.1", "no6"}, ""},
      {3, {"API_OH", "0.1", "allgas"}, ""},
  };
  std::vector<batch::Outcome> outcomes(3);
  outcomes[0].state = State::succeeded;
  outcomes[0].exit_status = 0;
  batch::add_note(outcomes[0], "vbsfit-batch: its standard error was not kept: no room");
  batch::add_note(outcomes[0], "vbsfit-batch: the fit's numbers were not recorded: gone");
  outcomes[1].state = State::kept;
  outcomes[1].message = "kept: no record of its fit in this report";
  outcomes[2].state = State::succeeded;
  outcomes[2].exit_status = 0;

  const batch::Tally tally = batch::tally_of(outcomes);
  EXPECT_EQ(tally.of(State::succeeded), 2);
  EXPECT_EQ(tally.of(State::kept), 1);
  EXPECT_EQ(tally.of(State::failed), 0);
  EXPECT_EQ(tally.noted, 1);
  EXPECT_TRUE(tally.complete());  // the exit status is 0

  EXPECT_EQ(batch::progress_text(tally, 65.0, false),
            "vbsfit-batch: 3/3 done, 0 failed, 1:05 elapsed");

  const batch::Tables tables = batch::table_rows(entries, outcomes);
  const batch::Tally from_rows = batch::tally_of_rows(tables.runs);
  EXPECT_EQ(from_rows.by_state, tally.by_state);
  EXPECT_EQ(from_rows.noted, tally.noted);
  EXPECT_EQ(batch::summarize(tally, tables.runs, "r/", 0),
            "vbsfit-batch: 3 configurations: 2 succeeded, 1 kept, 0 failed\n"
            "  note: OLE2_OH/0.1/allgas: vbsfit-batch: its standard error was not kept: no "
            "room; vbsfit-batch: the fit's numbers were not recorded: gone\n"
            "  report: r/\n");

  testsupport::ScratchDir report;
  ASSERT_EQ(batch::write_pages(report.path().string(), report.path().string(),
                               batch::page_entries(entries, outcomes),
                               tally, quality::kDefaultSeLimit),
            "");
  EXPECT_NE(testsupport::read_file(report.path() / batch::kIndexPage)
                .find("3 configurations: 2 succeeded, 1 kept, 0 failed;"),
            std::string::npos);
}

TEST(Tally, ProgressCountsWhatIsNoLongerPendingAndEstimatesFromTheRunsFinished) {
  std::vector<batch::Outcome> outcomes(5);
  outcomes[0].state = State::kept;
  outcomes[1].state = State::succeeded;
  outcomes[2].state = State::failed;
  const batch::Tally tally = batch::tally_of(outcomes);
  EXPECT_FALSE(tally.complete());
  // Two of the four runs took 10 s: the other two take about as long.
  EXPECT_EQ(batch::progress_text(tally, 10.0, true),
            "vbsfit-batch: 3/5 done, 1 failed, 0:10 elapsed, about 0:10 left, stopping");
}

}  // namespace
