#include "batch/progress.hpp"

#include <unistd.h>

#include <cstdio>

#include "batch/files.hpp"

namespace batch {
namespace {

// Clears what a longer line left.
constexpr const char* kClearToEnd = "\x1b[K";

std::string clock_text(double seconds) {
  const long total = static_cast<long>(seconds + 0.5);
  const long hours = total / 3600, minutes = total / 60 % 60, secs = total % 60;
  char text[32];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", hours, minutes, secs);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", minutes, secs);
  }
  return text;
}

}  // namespace

std::string progress_text(const Tally& tally, double elapsed, bool stopping) {
  const int done = tally.total - tally.of(State::pending);
  const int ran = done - tally.of(State::kept);
  const int to_run = tally.total - tally.of(State::kept);
  std::string line = "vbsfit-batch: " + std::to_string(done) + "/" + std::to_string(tally.total) +
                     " done, " + std::to_string(tally.of(State::failed)) + " failed, " +
                     clock_text(elapsed) + " elapsed";
  if (ran > 0 && ran < to_run) {
    line += ", about " + clock_text(elapsed / ran * (to_run - ran)) + " left";
  }
  if (stopping) line += ", stopping";
  return line;
}

void ProgressLine::draw(const Tally& tally, bool stopping) {
  if (!due()) return;
  const Clock::time_point now = Clock::now();
  drawn_ = now;
  const double elapsed = std::chrono::duration<double>(now - started_).count();
  write_all(STDERR_FILENO, "\r" + progress_text(tally, elapsed, stopping) + kClearToEnd);
}

void ProgressLine::clear() {
  if (shown_) write_all(STDERR_FILENO, std::string("\r") + kClearToEnd);
}

}  // namespace batch
