// The fit in memory: vbsfit's own stages run on series that a caller holds
// (any number of records, at least 2), in the calling thread, with no file
// written, nothing printed and the process never ended. Whatever would end
// the program's run (input it refuses, the solver's stop, a numbered
// diagnostic) ends the fit instead and comes back as its Ending. Several
// threads may fit at once: each fit has its own run data and its own ending.
//
// For 1441 records the numbers, and results_text, are bit for bit those of
// the program on the same doubles.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"

namespace driver {

// How a fit in memory, or a read of inputs, ended.
struct Ending {
  enum class Kind {
    finished,    // it ran to its end
    input,       // the input cannot be fitted (refused before the solves)
    solver,      // the solve for `bin` stopped: the solver's message, or a
                 // coefficient that is not finite
    diagnostic,  // a numbered diagnostic ended it: a file that cannot be read,
                 // a subscript out of bounds
  };
  Kind kind = Kind::finished;
  int status = 0;  // the exit status the program would have had
  int bin = 0;     // the target bin of the solve it ended in; 0 before the solves
  std::string message;  // what ended it, one line (the diagnostic's text
                        // without its "forrtl: severe (N): " prefix)
  bool ok() const { return kind == Kind::finished; }
};

// One simulation's series, record by record.
struct FitInput {
  std::span<const double> time;          // records; increasing
  std::span<const double> precursor;     // records
  std::span<const double> bins;          // records x 6: the six bins of a record adjacent
  std::span<const double> molar_masses;  // records x 6 as bins, or empty (the ideal
                                         // layout: every mean molar mass 0)
  std::string species = "OLE2_OH";
  std::string scenario = "0.1";
  std::string tag = "allgas";
  // KP and K(1 ... 6) taken as they are, instead of the species table and the
  // tag's rules.
  std::optional<config::RateConstants> rates;
};

// One solve, as the solver saw it.
struct SolveRecord {
  std::vector<double> b;                              // right-hand side, intervals
  std::array<double, config::kCoefficients> x{};      // as bvls returned it
  std::array<double, config::kCoefficients> lower{};  // bounds
  std::array<double, config::kCoefficients> upper{};
  std::array<double, config::kCoefficients> reported{};  // as the results file reports them
};

struct FitOutcome {
  Ending ending;
  int records = 0;
  int intervals = 0;
  config::RateConstants rates;                 // KP and K as the fit used them
  std::array<double, config::kBins> avgwmol{};  // mean molar masses
  std::vector<double> a;                       // the design matrix, intervals x 7, column by column
  std::array<SolveRecord, config::kBins> solves;  // target bins 1 ... 6
  std::string results_text;  // the bytes the program writes as its results file
  std::string progress;      // the lines the program prints on standard output
};

// Fits `input`. Input that cannot be fitted (too few records, lengths that
// do not match, values that are not finite, times that do not increase, a
// name the program could not take) is refused before anything runs.
FitOutcome fit_in_memory(const FitInput& input);

// The series of one configuration's input files, record by record as
// FitInput takes them; molar_masses is empty in the ideal layout.
struct InputArrays {
  std::vector<double> time, precursor, bins, molar_masses;
};
struct ReadOutcome {
  Ending ending;
  InputArrays arrays;
};

// Reads the input files of `species` and `scenario` (standard or ideal
// layout, as the species' row says: `species_row` when the caller has one of
// its own, as a run is handed, else the built-in table's) with vbsfit's
// readers, relative to `workdir` as the program's working directory. One
// read at a time in a process: the reads of several threads take turns.
ReadOutcome read_inputs(std::string_view workdir, std::string_view species,
                        std::string_view scenario,
                        const config::SpeciesRow* species_row = nullptr);

}  // namespace driver
