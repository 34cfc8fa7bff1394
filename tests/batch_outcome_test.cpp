// The tally of a batch's outcomes, and what reads it: the progress line, the
// summary, the index page and the exit status say the same.
#include "batch/outcome.hpp"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "batch/study_index.hpp"
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

  EXPECT_EQ(batch::summarize(tally, entries, outcomes, "r/", 0),
            "vbsfit-batch: 3 configurations: 2 succeeded, 1 kept, 0 failed\n"
            "  note: OLE2_OH/0.1/allgas: vbsfit-batch: its standard error was not kept: no "
            "room; vbsfit-batch: the fit's numbers were not recorded: gone\n"
            "  report: r/\n");

  testsupport::ScratchDir report;
  batch::StudyRows rows = batch::study_rows(entries, outcomes);
  ASSERT_EQ(batch::write_study_view(report.path().string(), rows, {}, quality::kDefaultSeLimit,
                                    quality::kDefaultMisfitLimit, true),
            "");
  const std::string index = testsupport::read_file(report.path() / batch::kIndexPage);
  for (const char* total : {"<span data-total=\"configurations\">3</span>",
                            "<span data-total=\"succeeded\">2</span>",
                            "<span data-total=\"kept\">1</span>"}) {
    EXPECT_NE(index.find(total), std::string::npos) << total;
  }
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

// The tally from outcomes and the summary's from the rows made of them, one
// batch a row: what each state counts toward, that only a success's note is
// a note, and that the exit status is 0 only when nothing failed, is stale,
// was interrupted or is pending.
TEST(Tally, CountsEachStateAndTheSameFromTheSummarysRows) {
  struct Ran {
    State state;
    const char* message;
  };
  struct Case {
    std::vector<Ran> batch;
    std::array<int, batch::kStates> by_state;  // pending, succeeded, kept, failed, interrupted, stale
    int noted;
    bool complete;
  };
  const Case cases[] = {
      {{}, {0, 0, 0, 0, 0, 0}, 0, true},
      {{{State::succeeded, ""}, {State::kept, ""}}, {0, 1, 1, 0, 0, 0}, 0, true},
      {{{State::succeeded, "a note"}, {State::succeeded, ""}}, {0, 2, 0, 0, 0, 0}, 1, true},
      {{{State::kept, "kept: no record"}, {State::failed, "vbsfit: stop"}}, {0, 0, 1, 1, 0, 0}, 0, false},
      {{{State::stale, "its results file is stale"}}, {0, 0, 0, 0, 0, 1}, 0, false},
      {{{State::interrupted, ""}, {State::succeeded, ""}}, {0, 1, 0, 0, 1, 0}, 0, false},
      {{{State::pending, ""}, {State::pending, ""}, {State::kept, ""}}, {2, 0, 1, 0, 0, 0}, 0, false},
  };
  for (std::size_t n = 0; n < std::size(cases); ++n) {
    const Case& c = cases[n];
    std::vector<batch::RunEntry> entries;
    std::vector<batch::Outcome> outcomes(c.batch.size());
    for (std::size_t k = 0; k < c.batch.size(); ++k) {
      entries.push_back({static_cast<int>(k + 1), {"OLE2_OH", "0.1", "tag" + std::to_string(k)}, ""});
      outcomes[k].state = c.batch[k].state;
      outcomes[k].message = c.batch[k].message;
    }
    const batch::Tally tally = batch::tally_of(outcomes);
    batch::Summary summary;
    for (std::size_t k = 0; k < entries.size(); ++k) summary.add({entries[k], outcomes[k], {}});
    const batch::Tally from_rows = summary.tally();
    for (const batch::Tally& t : {tally, from_rows}) {
      EXPECT_EQ(t.by_state, c.by_state) << "batch " << n;
      EXPECT_EQ(t.noted, c.noted) << "batch " << n;
      EXPECT_EQ(t.total, static_cast<int>(c.batch.size())) << "batch " << n;
      EXPECT_EQ(t.complete(), c.complete) << "batch " << n;
    }
  }
}

// How events move a configuration: a run's ending moves only what was
// waiting to run, a check only what was fitted or kept, and a failed,
// interrupted or stale configuration is where the batch leaves it.
TEST(MoveOn, LeadsFromEachStateWhereTheBatchTakesIt) {
  using batch::Event;
  constexpr std::optional<State> kStays;
  struct Case {
    State from;
    Event event;
    std::optional<State> to;
  };
  const Case cases[] = {
      {State::pending, Event::results_found, State::kept},
      {State::pending, Event::run_succeeded, State::succeeded},
      {State::pending, Event::run_failed, State::failed},
      {State::pending, Event::run_interrupted, State::interrupted},
      {State::pending, Event::cannot_run, State::failed},
      {State::pending, Event::checked, State::kept},  // taken over from an earlier batch
      {State::pending, Event::found_stale, State::stale},
      {State::pending, Event::results_gone, kStays},
      {State::pending, Event::not_on_disk, kStays},
      {State::kept, Event::found_stale, State::stale},
      {State::kept, Event::not_on_disk, State::failed},
      {State::kept, Event::results_gone, State::pending},
      {State::kept, Event::checked, State::kept},
      {State::kept, Event::run_succeeded, kStays},  // a kept file is checked, never run
      {State::kept, Event::cannot_run, kStays},
      {State::succeeded, Event::found_stale, State::stale},  // its inputs changed during the run
      {State::succeeded, Event::not_on_disk, State::failed},
      {State::succeeded, Event::checked, State::kept},  // a merged share's file, checked again
      {State::succeeded, Event::results_gone, State::pending},
      {State::succeeded, Event::run_failed, kStays},
      {State::failed, Event::results_gone, kStays},
      {State::failed, Event::checked, kStays},
      {State::interrupted, Event::results_gone, kStays},
      {State::stale, Event::found_stale, kStays},
  };
  for (const Case& c : cases) {
    batch::Outcome outcome;
    outcome.state = c.from;
    EXPECT_EQ(batch::move_on(outcome, c.event), c.to.has_value())
        << batch::state_name(c.from) << " event " << static_cast<int>(c.event);
    EXPECT_EQ(outcome.state, c.to.value_or(c.from))
        << batch::state_name(c.from) << " event " << static_cast<int>(c.event);
  }
  // Nothing moves a configuration out of these.
  for (State final_state : {State::failed, State::interrupted, State::stale}) {
    for (int e = 0; e <= static_cast<int>(Event::results_gone); ++e) {
      batch::Outcome outcome;
      outcome.state = final_state;
      EXPECT_FALSE(batch::move_on(outcome, static_cast<Event>(e))) << e;
      EXPECT_EQ(outcome.state, final_state) << e;
    }
  }
}

// Once recorded, an outcome lets go of its numbers and files: the counts in
// runs.csv, and so the summary, stay what the numbers gave; a copy of an
// outcome holds numbers of its own.
TEST(ReleaseRecorded, KeepsTheCountsTheSummaryReads) {
  const std::vector<batch::RunEntry> entries = {{1, {"OLE2_OH", "0.1", "allgas"}, ""},
                                                {2, {"OLE2_OH", "0.1", "no6"}, ""},
                                                {3, {"API_OH", "0.1", "allgas"}, ""}};
  batch::FitNumbers numbers{};
  numbers.bins[0].coefficients[3].flag = quality::Flag::undetermined;
  numbers.bins[4].coefficients[1].flag = quality::Flag::undetermined;
  numbers.bins[5].misfit = true;
  std::vector<batch::Outcome> outcomes(3);
  outcomes[0].state = State::succeeded;
  outcomes[0].numbers = numbers;
  outcomes[0].inputs[0] = {"a", 1, 2, std::string(64, '0')};
  outcomes[0].results_sha256 = std::string(64, 'f');
  outcomes[1].state = State::kept;
  outcomes[1].numbers = batch::FitNumbers{};
  outcomes[2].state = State::failed;
  outcomes[2].message = "no inputs";

  const batch::Tables before = batch::table_rows(entries, outcomes);
  const std::vector<batch::Outcome> with_numbers = outcomes;
  const batch::Outcome copy = outcomes[0];
  for (batch::Outcome& o : outcomes) batch::release_recorded(o);
  EXPECT_FALSE(outcomes[0].numbers);
  EXPECT_TRUE(outcomes[0].inputs[0].path.empty());
  EXPECT_TRUE(outcomes[0].results_sha256.empty());
  ASSERT_TRUE(copy.numbers);
  EXPECT_TRUE(copy.numbers->bins[5].misfit);
  batch::release_recorded(outcomes[0]);  // twice: the counts stay

  const batch::Tables after = batch::table_rows(entries, outcomes);
  EXPECT_TRUE(after.coefficients.empty());
  const std::size_t undetermined = batch::column_index(batch::kRunsColumns, "undetermined");
  const std::size_t misfit = batch::column_index(batch::kRunsColumns, "misfit");
  const std::vector<std::pair<std::string, std::string>> counts = {
      {"2", "1"}, {"0", "0"}, {"", ""}};
  for (std::size_t n = 0; n < entries.size(); ++n) {
    EXPECT_EQ(after.runs[n][undetermined], counts[n].first) << n;
    EXPECT_EQ(after.runs[n][misfit], counts[n].second) << n;
    EXPECT_EQ(after.runs[n][undetermined], before.runs[n][undetermined]) << n;
  }
  const batch::Tally tally = batch::tally_of(outcomes);
  EXPECT_EQ(batch::summarize(tally, entries, outcomes, "r/", 0),
            batch::summarize(tally, entries, with_numbers, "r/", 0));
}

}  // namespace
