#include "batch/analysis.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <map>
#include <tuple>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "batch/files.hpp"
#include "batch/input_faults.hpp"
#include "batch/run_inputs.hpp"
#include "batch/test_points.hpp"
#include "config/config.hpp"
#include "config/formats.hpp"
#include "driver/in_memory.hpp"
#include "report/page_notes.hpp"
#include "quality/replay.hpp"
#include "report/report.hpp"
#include "study/sha256.hpp"

namespace batch {
namespace {

// A configuration's numbers for its page, from its fit in memory and the
// figures of its solves (assess_solves).
report::PageData page_numbers(const RunEntry& entry, const driver::FitOutcome& fit,
                              const driver::FitInput& input, std::vector<quality::Fit> fits,
                              quality::Replay replay) {
  const Configuration& id = entry.config;
  report::PageData c;
  c.species = id.species;
  c.scenario = id.scenario;
  c.tag = id.tag;
  c.known_species = entry.species.known();
  c.rates = fit.rates;
  c.inputs = config::input_paths(id.species, id.scenario, entry.species.row);
  c.results = config::results_path(id.species, id.scenario, id.tag);
  c.molar_masses = fit.avgwmol;
  c.time.assign(input.time.begin(), input.time.end());
  for (int r = 1; r <= config::kBins; ++r) {
    const driver::SolveRecord& s = fit.solves[r - 1];
    const quality::Problem problem{fit.intervals, config::kCoefficients, fit.a, s.b,
                                   s.x, s.lower, s.upper};
    c.bins.push_back(report::bin_series(problem, r, std::move(fits[r - 1])));
  }
  // The fit run alone over the stored records, for the page's replay charts.
  c.stored_bins.assign(input.bins.begin(), input.bins.end());
  c.replay = std::move(replay);
  return c;
}

// What the page of a fit says beside its numbers: the facts of the batch
// that fitted it (this batch's when it has no record: it fits it now), the
// results file's digest, each input as observed, and each bin's misfit
// figure.
report::PageNotes page_notes(const Analysis& analysis, const AnalysisRequest& request) {
  const AnalysisSettings& settings = request.settings;
  report::PageNotes notes;
  const std::int64_t fitted_by =
      request.fitted_by != 0 ? request.fitted_by : request.stored ? request.stored->batch : 0;
  if (const auto at = settings.signatures.find(fitted_by);
      fitted_by != 0 && at != settings.signatures.end()) {
    notes = at->second;
  } else if (request.stored == nullptr && request.fitted_by == 0) {
    notes = settings.notes;
  }
  notes.results_sha256 = analysis.results_sha256;
  notes.misfit_limit = settings.misfit_limit;
  notes.replay_limit = settings.replay_limit;
  for (const quality::BinFigures& bin : analysis.numbers->bins) {
    notes.bins.push_back({bin.autocorrelation, bin.misfit, bin.drift});
  }
  // A run of one file (CSV, NetCDF) leaves the bins' place empty.
  const bool one_file = analysis.inputs[study::kBins].path.empty() &&
                        !analysis.inputs[study::kPrecursor].path.empty();
  const char* roles[] = {one_file ? "Run" : "Precursor", "Bins", "Molar masses"};
  for (int n = 0; n < 3; ++n) {
    const study::FileRecord& file = analysis.inputs[n];
    if (file.path.empty()) continue;  // a file the layout does not read
    notes.inputs.push_back({roles[n], file.path, file.size,
                            config::utc_time(file.mtime_ns / 1000000000), file.sha256});
  }
  return notes;
}

// Notes and errors longer than this are cut; a path takes most of one.
constexpr std::size_t kTextBytes = 1000;

// The analysis travels as bytes: the analysing process is a fork of the
// batch, so both sides lay the numbers out alike.
static_assert(std::is_trivially_copyable_v<FitNumbers>);

class Writer {
 public:
  template <typename T> void put(const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  void put_text(std::string_view text) {
    const auto length = static_cast<std::uint16_t>(std::min(text.size(), kTextBytes));
    put(length);
    bytes_.append(text.substr(0, length));
  }
  std::string take() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  template <typename T> bool get(T& value) {
    if (bytes_.size() < sizeof value) return false;
    std::memcpy(&value, bytes_.data(), sizeof value);
    bytes_.remove_prefix(sizeof value);
    return true;
  }
  bool get_text(std::string& text) {
    std::uint16_t length = 0;
    if (!get(length) || bytes_.size() < length) return false;
    text.assign(bytes_.substr(0, length));
    bytes_.remove_prefix(length);
    return true;
  }
  bool done() const { return bytes_.empty(); }

 private:
  std::string_view bytes_;
};

}  // namespace

namespace {

// The digests a worker has taken, by file, size and modification time: the
// configurations of one species and scenario (one per tag) read the same
// inputs, and a worker does many of them in one batch.
std::map<std::tuple<std::string, std::int64_t, std::int64_t>, std::string> g_digests;

// study::observe_file, the digest reused while size and time are unchanged.
study::Error observe(const std::string& path, study::FileRecord& file) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return {"cannot read " + path + ": " + std::strerror(errno)};
  const std::int64_t mtime =
      std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  const auto key = std::make_tuple(path, std::int64_t(info.st_size), mtime);
  if (const auto known = g_digests.find(key); known != g_digests.end()) {
    file = {path, info.st_size, mtime, known->second};
    return {};
  }
  if (study::Error why = study::observe_file(path, file)) return why;
  if (file.size == info.st_size && file.mtime_ns == mtime) g_digests[key] = file.sha256;
  return {};
}

}  // namespace

std::string observe_inputs(const RunEntry& entry, const std::string& workdir,
                           std::array<study::FileRecord, 3>& inputs, const InputSource& source) {
  const std::array<std::string, 3> named = run_input_paths(source, entry, workdir);
  std::array<study::FileRecord, 3> observed;
  for (int n = 0; n < 3; ++n) {
    if (named[n].empty()) continue;
    if (study::Error why = observe(in_workdir(workdir, named[n]), observed[n])) {
      return why.message;
    }
    observed[n].path = named[n];
  }
  inputs = std::move(observed);
  return {};
}

void take_limits(const std::vector<study::BatchRecord>& batches, AnalysisSettings& settings) {
  if (batches.empty()) return;
  const auto judged = std::find_if(batches.begin(), batches.end(), [](const auto& b) {
    return !std::isnan(b.replay_limit);
  });
  const study::BatchRecord& batch = judged != batches.end() ? *judged : batches.front();
  settings.se_limit = batch.se_limit;
  const bool replayed = judged != batches.end();
  settings.misfit_limit = replayed ? batch.misfit_limit : quality::kDefaultMisfitLimit;
  settings.replay_limit = replayed ? batch.replay_limit : quality::kDefaultReplayLimit;
  settings.notes.misfit_limit = settings.misfit_limit;
}

std::string stale_note(const Configuration& c) {
  return config::results_path(c.species, c.scenario, c.tag) +
         " does not match its inputs: they changed since it was written, or the file was "
         "edited; --refit replaces it";
}

std::string other_constants_note(const Configuration& c) {
  return config::results_path(c.species, c.scenario, c.tag) +
         " was fitted with other rate constants than the species table gives now; --refit "
         "replaces it";
}

Analysis analyze(const AnalysisRequest& request) {
  reach(TestPoint::analysis, display_name(request.entry.config));
  Analysis analysis;
  const Configuration& c = request.entry.config;
  const config::SpeciesRow& row = request.entry.species.row;
  const std::string results = join(request.workdir, config::results_path(c.species, c.scenario, c.tag));
  const std::string page_file =
      request.report + "/" + report::page_name(c.species, c.scenario, c.tag);
  std::string written;
  const bool have_results = read_whole_file(results, written);
  if (have_results) analysis.results_sha256 = study::sha256(written);
  const InputSource& source = request.source != nullptr ? *request.source : input_source();
  if (std::string why = observe_inputs(request.entry, request.workdir, analysis.inputs, source);
      !why.empty()) {
    analysis.note = "its inputs cannot be read: " + why;
    return analysis;
  }
  // The constants it is fitted with now, which the record's must equal for
  // its numbers to stand.
  const config::RateConstants rates =
      request.rates.value_or(config::rate_constants(row, c.tag));
  if (request.stored && have_results &&
      study::unchanged(*request.stored, analysis.inputs, analysis.results_sha256, rates) &&
      (!request.page || path_exists(page_file))) {
    analysis.verdict = Analysis::Verdict::unchanged;
    analysis.page = request.page;
    return analysis;
  }
  const driver::ReadOutcome read = read_run(source, request.entry, request.workdir);
  if (!read.ending.ok()) {
    analysis.note = "its inputs cannot be read: " + read.ending.message;
    return analysis;
  }
  driver::FitInput input{read.arrays.time, read.arrays.precursor, read.arrays.bins,
                         read.arrays.molar_masses, c.species, c.scenario, c.tag, rates};
  const driver::FitOutcome fit = driver::fit_in_memory(input);
  if (!fit.ending.ok()) {
    analysis.note = "its inputs cannot be fitted: " + fit.ending.message;
    return analysis;
  }
  if (!have_results || written != fit.results_text) {
    analysis.verdict = Analysis::Verdict::stale;
    analysis.note = request.stored && !study::fitted_with(*request.stored, rates)
                        ? other_constants_note(c)
                        : stale_note(c);
    return analysis;
  }
  std::vector<quality::Fit> fits = assess_solves(fit, input, request.settings.se_limit);
  analysis.verdict = Analysis::Verdict::fitted;
  // The fitted model run alone: its figures judge the misfits, and its
  // series are there for the page.
  quality::Replay replay = replay_fit(fit, input);
  analysis.numbers = fit_numbers(fit, fits, replay,
                                 {request.settings.misfit_limit, request.settings.replay_limit});
  // A fixed-layout file may hold more records than a fit reads; a run of
  // another format is read whole.
  if (source.format == config::InputFormat::fixed) {
    analysis.input_records = surplus_records(request.entry, request.workdir);
  }
  if (!request.page) return analysis;
  analysis.error = write_file_atomically(
      page_file,
      report::render_page(page_numbers(request.entry, fit, input, std::move(fits), std::move(replay)),
                          page_notes(analysis, request),
                          request.settings.se_limit));
  analysis.page = analysis.error.empty();
  return analysis;
}

std::string encode(const Analysis& analysis) {
  Writer out;
  out.put(analysis.verdict);
  out.put(analysis.numbers.has_value());
  if (analysis.numbers) out.put(*analysis.numbers);
  for (const study::FileRecord& file : analysis.inputs) {
    out.put_text(file.path);
    out.put(file.size);
    out.put(file.mtime_ns);
    out.put_text(file.sha256);
  }
  out.put_text(analysis.results_sha256);
  out.put(analysis.input_records);
  out.put_text(analysis.note);
  out.put(analysis.page);
  out.put_text(analysis.error);
  return out.take();
}

bool decode(std::string_view bytes, Analysis& analysis) {
  Analysis read;
  Reader in(bytes);
  bool numbers = false;
  if (!in.get(read.verdict) || static_cast<int>(read.verdict) < 0 ||
      read.verdict > Analysis::Verdict::unfitted || !in.get(numbers)) {
    return false;
  }
  if (numbers) {
    FitNumbers figures;
    if (!in.get(figures)) return false;
    read.numbers = figures;
  }
  for (study::FileRecord& file : read.inputs) {
    if (!in.get_text(file.path) || !in.get(file.size) || !in.get(file.mtime_ns) ||
        !in.get_text(file.sha256)) {
      return false;
    }
  }
  if (!in.get_text(read.results_sha256) || !in.get(read.input_records) || !in.get_text(read.note) || !in.get(read.page) ||
      !in.get_text(read.error) || !in.done()) {
    return false;
  }
  analysis = std::move(read);
  return true;
}

}  // namespace batch
