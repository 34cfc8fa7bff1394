// The summary vbsfit-batch ends with: one line per kind of thing to say,
// each list cut where the summary stops naming.
#include "batch/summary.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

namespace {

using batch::State;

struct Ran {
  batch::Configuration config;
  State state;
  std::optional<int> exit_status;
  std::string message;
  int undetermined = -1;  // coefficients flagged; -1: no numbers
  int misfit = 0;         // target bins flagged
  int input_records = 0;
};

// The summary of `ran`, stopped by `stop_signal`; the Summary's tally
// must be the outcomes'.
std::string summary_of(const std::vector<Ran>& ran, int stop_signal) {
  std::vector<batch::RunEntry> entries;
  std::vector<batch::Outcome> outcomes;
  for (const Ran& r : ran) {
    entries.push_back({static_cast<int>(entries.size() + 1), r.config, ""});
    batch::Outcome& o = outcomes.emplace_back();
    o.state = r.state;
    o.exit_status = r.exit_status;
    o.message = r.message;
    o.input_records = r.input_records;
    if (r.undetermined < 0) continue;
    batch::FitNumbers numbers{};
    // From the last bin on, the misfit ones from the first: an undetermined
    // coefficient of a misfit bin is misfit.
    for (int n = 0; n < r.undetermined; ++n) {
      numbers.bins[5 - n % 6].coefficients[n / 6].flag = quality::Flag::undetermined;
    }
    for (int b = 0; b < r.misfit; ++b) numbers.bins[b].misfit = true;
    o.numbers = numbers;
  }
  batch::Summary summary;
  for (std::size_t n = 0; n < entries.size(); ++n) summary.add({entries[n], outcomes[n], {}});
  const batch::Tally tally = batch::tally_of(outcomes);
  EXPECT_EQ(summary.tally().by_state, tally.by_state);
  EXPECT_EQ(summary.tally().noted, tally.noted);
  return batch::summarize(tally, entries, outcomes, "r/index.html", stop_signal);
}

TEST(Summary, SaysEachKindOfOutcomeOnItsOwnLine) {
  const std::vector<Ran> ran = {
      {{"OLE2_OH", "0.1", "allgas"}, State::failed, 29, "forrtl: severe (29): file not found"},
      {{"OLE2_OH", "0.1", "no6"}, State::stale, std::nullopt, "its results file is stale"},
      {{"OLE2_OH", "1", "allgas"}, State::succeeded, 0, "vbsfit-batch: a note", 2, 1},
      {{"API_OH", "1", "allgas"}, State::kept, std::nullopt, "", 0, 0, 1500},
      {{"NOSUCH", "1", "allgas"}, State::failed, std::nullopt, "could not start"},
      {{"NOSUCH", "2", "allgas"}, State::interrupted, std::nullopt, ""},
  };
  EXPECT_EQ(summary_of(ran, SIGTERM),
            "vbsfit-batch: 6 configurations: 1 succeeded, 1 kept, 2 failed, 1 stale, "
            "1 interrupted\n"
            "  failed: OLE2_OH/0.1/allgas (exit status 29): forrtl: severe (29): file not found\n"
            "  stale: OLE2_OH/0.1/no6: its results file is stale\n"
            "  note: OLE2_OH/1/allgas: vbsfit-batch: a note\n"
            "  failed: NOSUCH/1/allgas: could not start\n"
            "  failed configurations stay in the study until they are fitted; --forget with a "
            "run set of only them (--species, --scenario, --tag or --plan) removes them\n"
            "  not in the species table, run with the default rate constants: NOSUCH (2)\n"
            "  warning: input files with more than 1441 records, of which the fit used the "
            "first 1441: API_OH/1/allgas (1500)\n"
            "  stopped by SIGTERM; the same command again finishes the rest\n"
            "  2 coefficients undetermined in 1 of 2 configurations; see the report\n"
            "  1 target bin in 1 configuration misfit: the model does not describe their data "
            "(residuals' lag-1 autocorrelation above 0.2); see the report\n"
            "  report: r/index.html\n");
}

TEST(Summary, NamesTheFirstProblemsAndInputsAndCountsTheRest) {
  std::vector<Ran> ran;
  for (int n = 1; n <= 23; ++n) {
    ran.push_back({{"OLE2_OH", std::to_string(n), "allgas"}, State::failed, 1, "stop", -1, 0,
                   n <= 12 ? 1441 + n : 0});
  }
  const std::string text = summary_of(ran, 0);
  EXPECT_NE(text.find("  failed: OLE2_OH/20/allgas (exit status 1): stop\n"
                      "  ... and 3 more; see runs.csv\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("OLE2_OH/21/allgas (exit"), std::string::npos) << text;
  EXPECT_NE(text.find(" OLE2_OH/10/allgas (1451) and 2 more (input_records in runs.csv)\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("undetermined in"), std::string::npos) << text;  // none has figures
}

}  // namespace
