// The scheduler's choice of what to launch in a free slot.
#include "batch/runner.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using batch::Launch;
using batch::Phase;
using batch::State;

// One letter per configuration: its phase (q queued, r running, w awaiting
// analysis, a analysing, d done) and its state (p pending, s succeeded,
// k kept, f failed, i interrupted).
std::vector<Phase> phases(const std::string& letters) {
  std::vector<Phase> out;
  for (char c : letters) {
    out.push_back(c == 'q'   ? Phase::queued
                  : c == 'r' ? Phase::running
                  : c == 'w' ? Phase::awaiting_analysis
                  : c == 'a' ? Phase::analysing
                             : Phase::done);
  }
  return out;
}

std::vector<batch::Outcome> outcomes(const std::string& letters) {
  std::vector<batch::Outcome> out(letters.size());
  for (std::size_t n = 0; n < letters.size(); ++n) {
    const char c = letters[n];
    out[n].state = c == 'p'   ? State::pending
                   : c == 's' ? State::succeeded
                   : c == 'k' ? State::kept
                   : c == 'f' ? State::failed
                              : State::interrupted;
  }
  return out;
}

TEST(NextLaunch, AnalysesOfFinishedRunsFirstThenRunSetOrderAndNoRunOnceStopping) {
  constexpr auto none = Launch::Kind::none, run = Launch::Kind::run,
                 analysis = Launch::Kind::analysis;
  const struct {
    const char* phases;
    const char* states;
    bool stopping;
    std::size_t queued_from, awaiting_from;
    Launch::Kind kind;
    std::size_t index;
  } cases[] = {
      {"", "", false, 0, 0, none, 0},
      {"qqq", "ppp", false, 0, 0, run, 0},
      {"rqq", "ppp", false, 0, 0, run, 1},
      {"qqq", "pkp", false, 1, 0, analysis, 1},
      {"qqq", "kpp", false, 0, 0, analysis, 0},     // a kept one: its analysis
      {"rqw", "pps", false, 0, 0, analysis, 2},     // a finished run's analysis comes first
      {"wqw", "sps", false, 0, 1, analysis, 2},     // looked for from awaiting_from on
      {"dqq", "fpp", false, 2, 0, run, 2},          // and the queue from queued_from on
      {"rqqq", "ppkp", true, 0, 0, analysis, 2},    // stopping: runs stay pending, kept analysed
      {"rqq", "ppp", true, 0, 0, none, 0},
      {"raddd", "pskfi", false, 0, 0, none, 0},     // nothing left to launch
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.phases) + " " + c.states + (c.stopping ? " stopping" : ""));
    std::vector<Phase> p = phases(c.phases);
    std::vector<batch::Outcome> o = outcomes(c.states);
    const Launch next = batch::next_launch({p, o, c.stopping, c.queued_from, c.awaiting_from});
    EXPECT_EQ(next.kind, c.kind);
    if (c.kind != none) {
      EXPECT_EQ(next.index, c.index);
    }
  }
}

}  // namespace
