#include "driver/in_memory.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>

#include "declare/declare.hpp"
#include "diagnostics/diagnostic.hpp"
#include "diagnostics/float_mode.hpp"
#include "diagnostics/termination.hpp"
#include "driver/main_program.hpp"
#include "driver/readers.hpp"
#include "driver/reject.hpp"
#include "driver/run_observer.hpp"
#include "driver/setup.hpp"
#include "textio/unit.hpp"

namespace driver {
namespace {

// The calling thread's standard output goes to `progress` for the scope's
// life.
class InMemory {
 public:
  explicit InMemory(std::string& progress)
      : progress_unit_(-1, "stdout", progress),
        previous_output_(textio::redirect_standard_output(&progress_unit_)) {}
  ~InMemory() { textio::redirect_standard_output(previous_output_); }
  InMemory(const InMemory&) = delete;
  InMemory& operator=(const InMemory&) = delete;

 private:
  textio::Unit progress_unit_;
  textio::Unit* previous_output_;
};

// The one line of an ending's text that says what ended the run: the first
// line, without the program's prefix ("vbsfit: ", "forrtl: severe (N): ")
// and the blanks around it.
std::string ending_line(const std::string& text) {
  std::string_view line(text);
  line = line.substr(0, line.find('\n'));
  if (line.starts_with("vbsfit: ")) {
    line.remove_prefix(std::string_view("vbsfit: ").size());
  } else if (line.starts_with("forrtl: ")) {
    const std::size_t end = line.find("): ");
    if (end != std::string_view::npos) line.remove_prefix(end + 3);
  }
  const std::size_t first = line.find_first_not_of(' ');
  const std::size_t last = line.find_last_not_of(' ');
  return first == std::string_view::npos ? std::string()
                                         : std::string(line.substr(first, last - first + 1));
}

Ending ending_of(const diagnostics::CapturedEnding& e, int bin) {
  Ending ending;
  ending.status = e.status;
  ending.bin = bin;
  ending.message = ending_line(e.text);
  // Stops end with 0 or 1; a diagnostic with its number, never either.
  if (e.status > 1) {
    ending.kind = Ending::Kind::diagnostic;
  } else {
    ending.kind = bin > 0 ? Ending::Kind::solver : Ending::Kind::input;
  }
  return ending;
}

Ending refused(std::string message) {
  return {Ending::Kind::input, 1, 0, std::move(message)};
}

// Why the sizes of `in`'s series cannot be fitted, or empty.
std::string size_fault(const FitInput& in) {
  const std::size_t n = in.time.size();
  if (n < 2) {
    return "at least 2 records are needed (one interval); time has " + std::to_string(n);
  }
  // The solver takes its row count as a 32-bit integer.
  if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    return "time has " + std::to_string(n) + " records; at most 2147483647 can be fitted";
  }
  if (in.precursor.size() != n) {
    return "precursor has " + std::to_string(in.precursor.size()) + " values; time has " +
           std::to_string(n);
  }
  const std::size_t cells = n * config::kBins;
  if (in.bins.size() != cells) {
    return "bins has " + std::to_string(in.bins.size()) + " values; " + std::to_string(n) +
           " records of 6 bins need " + std::to_string(cells);
  }
  if (!in.molar_masses.empty() && in.molar_masses.size() != cells) {
    return "molar_masses has " + std::to_string(in.molar_masses.size()) + " values; " +
           std::to_string(n) + " records of 6 bins need " + std::to_string(cells);
  }
  return {};
}

// Why the values of `in`'s series (of fitting sizes) cannot be fitted, or
// empty: each must be finite, and time must increase.
std::string value_fault(const FitInput& in) {
  const std::size_t n = in.time.size();
  struct Series {
    const char* name;
    std::span<const double> values;
    bool by_bin;
  };
  for (const Series& s : {Series{"time", in.time, false}, Series{"precursor", in.precursor, false},
                          Series{"bins", in.bins, true},
                          Series{"molar_masses", in.molar_masses, true}}) {
    for (std::size_t k = 0; k < s.values.size(); ++k) {
      if (std::isfinite(s.values[k])) continue;
      const std::string at = s.by_bin ? std::to_string(k / config::kBins) + ", " +
                                            std::to_string(k % config::kBins)
                                      : std::to_string(k);
      return std::string(s.name) + "[" + at + "] is not finite (" + shortest(s.values[k]) +
             ")";
    }
  }
  for (std::size_t t = 1; t < n; ++t) {
    if (!(in.time[t] > in.time[t - 1])) {
      return "time must increase from record to record: time[" + std::to_string(t) + "] = " +
             shortest(in.time[t]) + " follows time[" + std::to_string(t - 1) +
             "] = " + shortest(in.time[t - 1]);
    }
  }
  return {};
}

// Why `in`'s names or rates cannot be fitted, or empty.
std::string name_or_rate_fault(const FitInput& in) {
  for (auto [what, name, limit] :
       {std::tuple{"species", std::string_view(in.species), config::kSpeciesLength},
        std::tuple{"scenario", std::string_view(in.scenario), config::kScenarioLength},
        std::tuple{"tag", std::string_view(in.tag), config::kTagLength}}) {
    const std::string fault = config::name_fault(name, static_cast<std::size_t>(limit));
    if (!fault.empty()) return std::string(what) + " \"" + std::string(name) + "\" " + fault;
  }
  if (in.rates) {
    if (!std::isfinite(in.rates->kp)) return "rate KP is not finite";
    for (int j = 0; j < config::kBins; ++j) {
      if (!std::isfinite(in.rates->k[j])) {
        return "rate K(" + std::to_string(j + 1) + ") is not finite";
      }
    }
  }
  return {};
}

// Why `input` cannot be fitted, or empty.
std::string input_fault(const FitInput& in) {
  if (std::string fault = size_fault(in); !fault.empty()) return fault;
  if (std::string fault = value_fault(in); !fault.empty()) return fault;
  return name_or_rate_fault(in);
}

// Takes what the outcome keeps as the run reaches each point.
class Collector final : public RunObserver {
 public:
  explicit Collector(FitOutcome& out) : out_(out) {}
  int bin() const { return bin_; }

  void problem_ready() override {
    const int m = declare::intervals();
    out_.rates.kp = declare::KP;
    for (int j = 1; j <= config::kBins; ++j) {
      out_.rates.k[j - 1] = declare::K(j);
      out_.avgwmol[j - 1] = declare::AVGWMOL(j);
    }
    const double* a = declare::ABVLSX.data();
    out_.a.assign(a, a + static_cast<std::size_t>(m) * config::kCoefficients);
  }
  void solving(int r) override { bin_ = r; }
  void solved(int r) override {
    SolveRecord& s = out_.solves[r - 1];
    const double* b = declare::BBVLS.data();
    s.b.assign(b, b + declare::intervals());
    copy7(declare::ALPHA, s.x);
    copy7(declare::ALPHAL, s.lower);
    copy7(declare::ALPHAU, s.upper);
  }
  void reported(int r) override { copy7(declare::ALPHA, out_.solves[r - 1].reported); }

 private:
  static void copy7(const declare::Vector<double>& from,
                    std::array<double, config::kCoefficients>& to) {
    std::copy_n(from.data(), config::kCoefficients, to.begin());
  }

  FitOutcome& out_;
  int bin_ = 0;
};

// The units the readers open; a read that ends early leaves them open.
constexpr int kInputUnits[] = {20, 30, 60};

// Open units are one table per process (the exit processing's), so reads
// take turns; fits open no unit.
std::mutex g_read_mutex;

}  // namespace

FitOutcome fit_in_memory(const FitInput& in) {
  FitOutcome out;
  if (std::string fault = input_fault(in); !fault.empty()) {
    out.ending = refused(std::move(fault));
    return out;
  }
  const int n = static_cast<int>(in.time.size());
  out.records = n;
  out.intervals = n - 1;

  diagnostics::FloatModeScope float_mode;
  declare::RunData data(n);
  declare::BindRunData bound(data);
  textio::Unit results(11, "results", out.results_text);
  InMemory in_memory(out.progress);
  Collector collector(out);
  const auto ended = diagnostics::capture_ending([&] {
    diagnostics::RoutineScope scope("vbsfit");
    MainVariables v;
    set_start_values(v, {in.species, in.scenario, in.tag});
    if (in.rates) {
      declare::KP = in.rates->kp;
      for (int j = 1; j <= config::kBins; ++j) declare::K(j) = in.rates->k[j - 1];
    } else {
      choose_rate_constants(v);
    }
    std::copy(in.time.begin(), in.time.end(), declare::TIME.data());
    std::copy(in.precursor.begin(), in.precursor.end(), declare::PRECURSOR.data());
    std::copy(in.bins.begin(), in.bins.end(), declare::YKELPO.data());
    std::copy(in.molar_masses.begin(), in.molar_masses.end(), declare::WMOL.data());
    run_fit(v, &collector, &results);
  });
  if (ended) out.ending = ending_of(*ended, collector.bin());
  return out;
}

ReadOutcome read_inputs(std::string_view workdir, std::string_view species,
                        std::string_view scenario, const config::SpeciesRow* species_row) {
  ReadOutcome out;
  for (auto [what, name, limit] : {std::tuple{"species", species, config::kSpeciesLength},
                                   std::tuple{"scenario", scenario, config::kScenarioLength}}) {
    const std::string fault = config::name_fault(name, static_cast<std::size_t>(limit));
    if (!fault.empty()) {
      out.ending = refused(std::string(what) + " \"" + std::string(name) + "\" " + fault);
      return out;
    }
  }
  const std::string directory = workdir.empty() ? std::string(".") : std::string(workdir);

  std::lock_guard<std::mutex> lock(g_read_mutex);
  diagnostics::FloatModeScope float_mode;
  declare::RunData data(config::kRecords);
  declare::BindRunData bound(data);
  std::string progress;
  InMemory in_memory(progress);
  const auto ended = diagnostics::capture_ending([&] {
    diagnostics::RoutineScope scope("vbsfit");
    MainVariables v;
    set_start_values(v, {species, scenario, "allgas", species_row});
    const config::InputPaths paths = config::standard_input_paths(species, scenario);
    v.FILEW = paths.molar_masses;
    v.FILES = paths.bins;
    v.FILEP = paths.precursor;
    choose_rate_constants(v);
    run_readers(v, directory);
  });
  if (ended) {
    for (int unit : kInputUnits) textio::close_unit(unit);
    out.ending = ending_of(*ended, 0);
    return out;
  }
  const std::size_t n = config::kRecords;
  const std::size_t cells = n * config::kBins;
  out.arrays.time.assign(declare::TIME.data(), declare::TIME.data() + n);
  out.arrays.precursor.assign(declare::PRECURSOR.data(), declare::PRECURSOR.data() + n);
  out.arrays.bins.assign(declare::YKELPO.data(), declare::YKELPO.data() + cells);
  if (config::layout_of(config::species_row(species, species_row)) == config::Layout::standard) {
    out.arrays.molar_masses.assign(declare::WMOL.data(), declare::WMOL.data() + cells);
  }
  return out;
}

}  // namespace driver
