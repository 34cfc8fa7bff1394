// Shared by the fuzz targets: the designed ending of a run caught in-process
// (through the termination code's capture_ending), input files in memory, and
// the report of a disagreement with the reference rules.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/termination.hpp"
#include "reference.hpp"

namespace fuzzing {

// A file in memory that a unit opens by name; its contents are replaced for
// every input.
class MemoryFile {
 public:
  MemoryFile() : fd_(::memfd_create("fuzz-input", 0)) {}
  ~MemoryFile() { ::close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  void set(const std::string& text) {
    if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, text.data(), text.size(), 0) !=
                                        static_cast<ssize_t>(text.size())) {
      std::abort();
    }
  }
  std::string name() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

// The program and the reference rule disagree: say how, and stop with the
// input saved by the fuzzer.
[[noreturn]] inline void disagree(const std::string& what) {
  std::fprintf(stderr, "fuzz: the program disagrees with the reference: %s\n", what.c_str());
  std::abort();
}

// Doubles compared bit for bit (a signed zero or a NaN payload counts).
inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

inline std::string show(double x) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", x);
  return text;
}

// The first line of an ending's text, with its newline.
inline std::string first_line(const diagnostics::CapturedEnding& ended) {
  return ended.text.substr(0, ended.text.find('\n') + 1);
}

// Runs `body`, the work on one input. A read's ending is caught by the
// target around that read; one that gets out here is a finding.
template <class Body>
int run_input(Body&& body) {
  if (const auto ended = diagnostics::capture_ending(body)) {
    disagree("the run ended with " + std::to_string(ended->status) + " outside a read: \"" +
             first_line(*ended) + "\"");
  }
  return 0;
}

// Holds statement `s` of a read to the rules: its ending, and every
// destination (`untouched` where the rules give it no value).
inline void check_statement(int s, const reference::Outcome& outcome,
                            const reference::Outcome& expected, const std::vector<double>& got,
                            const std::vector<std::optional<double>>& want, double untouched) {
  const std::string statement = "statement " + std::to_string(s + 1);
  if (!(outcome == expected)) {
    disagree(statement + " ended " + std::to_string(outcome.kind) + "/" +
             std::to_string(outcome.message) + ", the rules say " + std::to_string(expected.kind) +
             "/" + std::to_string(expected.message));
  }
  for (std::size_t k = 0; k < got.size(); ++k) {
    const double w = want[k] ? *want[k] : untouched;
    if (!same_bits(got[k], w)) {
      disagree(statement + " value " + std::to_string(k + 1) + " is " + show(got[k]) +
               ", the rules say " + show(w));
    }
  }
}

}  // namespace fuzzing
