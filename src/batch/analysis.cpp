#include "batch/analysis.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <type_traits>
#include <utility>
#include <vector>

#include "batch/csv.hpp"
#include "batch/fit_dump.hpp"
#include "batch/species_table.hpp"
#include "batch/tables.hpp"
#include "batch/files.hpp"
#include "batch/report_layout.hpp"
#include "config/config.hpp"
#include "report/report.hpp"
#include "study/study.hpp"

namespace batch {
namespace {

// A configuration's numbers for its page, from the record of its fit and
// the figures of its solves (assess_solves).
report::PageData page_numbers(const FitDump& dump, std::vector<quality::Fit> fits) {
  const Configuration& id = dump.config;
  report::PageData c;
  c.species = id.species;
  c.scenario = id.scenario;
  c.tag = id.tag;
  c.known_species = known_species(id.species) != nullptr;
  c.rates.kp = dump.kp;
  c.rates.k = dump.k;
  c.inputs = config::input_paths(id.species, id.scenario, species_row(id.species));
  c.results = config::results_path(id.species, id.scenario, id.tag);
  c.molar_masses = dump.avgwmol;
  c.time = dump.time;
  for (int r = 1; r <= config::kBins; ++r) {
    const SolveRecord& s = dump.solves[r - 1];
    const quality::Problem problem{config::kIntervals, config::kCoefficients, dump.a, s.b,
                                   s.x, s.lower, s.upper};
    c.bins.push_back(report::bin_series(problem, r, std::move(fits[r - 1])));
  }
  return c;
}

// What the page of `dump`'s fit says beside its numbers: the batch's facts
// (only when this batch made the fit, `fitted_here`), each input as it is in
// the working directory, and each bin's misfit figure.
report::PageNotes page_notes(const FitDump& dump, const FitNumbers& numbers,
                             const AnalysisSettings& settings, bool fitted_here) {
  report::PageNotes notes;
  if (fitted_here) notes = settings.notes;
  notes.inputs.clear();
  notes.misfit_limit = settings.misfit_limit;
  for (const BinFit& bin : numbers.bins) {
    notes.bins.push_back({bin.quality.autocorrelation, bin.quality.misfit});
  }
  if (settings.workdir.empty()) return notes;
  const Configuration& id = dump.config;
  const config::InputPaths paths =
      config::input_paths(id.species, id.scenario, species_row(id.species));
  const std::pair<const char*, const std::string*> inputs[] = {
      {"Precursor", &paths.precursor}, {"Bins", &paths.bins}, {"Molar masses", &paths.molar_masses}};
  for (const auto& [role, path] : inputs) {
    report::InputRecord input{role, *path, -1, "", ""};
    study::FileRecord file;
    if (!study::observe_file(settings.workdir + "/" + *path, file)) {
      input.bytes = file.size;
      input.modified = utc_time(file.mtime_ns / 1000000000);
      input.sha256 = file.sha256;
    }
    notes.inputs.push_back(std::move(input));
  }
  return notes;
}

// Whether the results file holds exactly the records this fit makes after
// its title and column records.
bool same_results(const std::string& results_file, const FitNumbers& numbers) {
  const std::vector<std::string> expected = results_records(numbers);
  std::vector<std::string> records;
  std::ifstream in(results_file, std::ios::binary);
  for (std::string line; std::getline(in, line);) records.push_back(line);
  const std::size_t header = 2;  // the title and column records
  if (records.size() != header + expected.size()) return false;
  return std::equal(expected.begin(), expected.end(), records.begin() + header);
}

// The numbers travel as their bytes: the analysing process is a fork of the
// batch, so both sides lay them out alike.
static_assert(std::is_trivially_copyable_v<FitNumbers>);
// Notes and errors longer than this are cut; a path takes most of one.
constexpr std::size_t kTextBytes = 1000;
static_assert(2 + sizeof(FitNumbers) + 2 * (sizeof(std::uint16_t) + kTextBytes) <= kAnalysisBytes);

}  // namespace

Analysis analyze(const std::string& report, const Configuration& config,
                 const AnalysisSettings& settings, const std::string* kept_results, bool page) {
  Analysis analysis;
  FitDump dump;
  const std::string record = run_directory(report, config) + "/" + kFitDumpName;
  if (std::string why = read_fit_dump(record, config, dump); !why.empty()) {
    analysis.note = kept_results ? "kept: no record of its fit in this report" : why;
    return analysis;
  }
  std::vector<quality::Fit> fits = assess_solves(dump, settings.se_limit);
  const FitNumbers numbers = fit_numbers(dump, fits, settings.misfit_limit);
  if (kept_results && !same_results(*kept_results, numbers)) {
    analysis.note = "kept: the fit recorded in this report is not the one in its results file";
    return analysis;
  }
  analysis.numbers = numbers;
  if (!page) return analysis;
  const std::string name = report::page_name(config.species, config.scenario, config.tag);
  const report::PageNotes notes = page_notes(dump, numbers, settings, kept_results == nullptr);
  analysis.error = write_file_atomically(
      report + "/" + name,
      report::render_page(page_numbers(dump, std::move(fits)), notes, settings.se_limit));
  analysis.page = analysis.error.empty();
  return analysis;
}

std::string encode(const Analysis& analysis) {
  std::string bytes;
  bytes += analysis.numbers ? '1' : '0';
  if (analysis.numbers) {
    bytes.append(reinterpret_cast<const char*>(&*analysis.numbers), sizeof(FitNumbers));
  }
  bytes += analysis.page ? '1' : '0';
  for (const std::string* text : {&analysis.note, &analysis.error}) {
    const auto length = static_cast<std::uint16_t>(std::min(text->size(), kTextBytes));
    bytes.append(reinterpret_cast<const char*>(&length), sizeof length);
    bytes.append(*text, 0, length);
  }
  return bytes;
}

bool decode(std::string_view bytes, Analysis& analysis) {
  Analysis read;
  // Takes `count` bytes from the front of `bytes`, or fails.
  auto take = [&bytes](std::size_t count, void* to) {
    if (bytes.size() < count) return false;
    std::memcpy(to, bytes.data(), count);
    bytes.remove_prefix(count);
    return true;
  };
  char flag = 0;
  if (!take(1, &flag) || (flag != '0' && flag != '1')) return false;
  if (flag == '1') {
    FitNumbers numbers;
    if (!take(sizeof numbers, &numbers)) return false;
    read.numbers = numbers;
  }
  if (!take(1, &flag) || (flag != '0' && flag != '1')) return false;
  read.page = flag == '1';
  for (std::string* text : {&read.note, &read.error}) {
    std::uint16_t length = 0;
    if (!take(sizeof length, &length) || bytes.size() < length) return false;
    text->assign(bytes.substr(0, length));
    bytes.remove_prefix(length);
  }
  if (!bytes.empty()) return false;
  analysis = std::move(read);
  return true;
}

}  // namespace batch
