// The progress line of a batch on a terminal: one line on standard error,
// redrawn in place, from the tally of the outcomes.
#pragma once

#include <chrono>
#include <string>

#include "batch/outcome.hpp"

namespace batch {

// "vbsfit-batch: D/N done, F failed, M:SS elapsed[, about M:SS left][, stopping]":
// done counts every configuration no longer pending, and the time left is
// estimated from the runs finished so far.
std::string progress_text(const Tally& tally, double elapsed_seconds, bool stopping);

class ProgressLine {
 public:
  using Clock = std::chrono::steady_clock;
  // `shown`: false draws nothing (standard error is not a terminal).
  explicit ProgressLine(bool shown) : shown_(shown), started_(Clock::now()) {}

  // Whether the line is shown and was last drawn a tenth of a second ago
  // or more: a tally is worth making.
  bool due() const { return shown_ && Clock::now() - drawn_ >= kRedrawInterval; }
  // Draws the line, unless it is not due.
  void draw(const Tally& tally, bool stopping);
  // Clears it, for the summary to start where it was.
  void clear();
  // How long the batch may wait before the line is due again; -1 when it is
  // not shown.
  int tick_milliseconds() const { return shown_ ? 500 : -1; }

 private:
  // How often at most the line is redrawn while runs finish in quick succession.
  static constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

  bool shown_;
  Clock::time_point started_;
  Clock::time_point drawn_{};
};

}  // namespace batch
