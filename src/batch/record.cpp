#include "batch/record.hpp"

#include "batch/run_inputs.hpp"

#include <cmath>
#include <limits>

#include "config/config.hpp"

namespace batch {
namespace {

// The flag behind a stored verdict, such that verdict_of gives that verdict
// back with the bin's misfit: a misfit coefficient's flag is not kept
// (undetermined stands for it). A study of schema 3 kept the flag itself
// ("determined" for a determined coefficient, misfit bin or not), which
// verdict_of then judges with the bin's misfit as a batch of this version
// would have under the same standard errors.
quality::Flag flag_of(const std::string& word) {
  using quality::Flag;
  if (const std::optional<quality::Verdict> verdict = quality::verdict_from_name(word)) {
    switch (*verdict) {
      case quality::Verdict::trusted: return Flag::determined;
      case quality::Verdict::no_effect: return Flag::no_effect;
      case quality::Verdict::undetermined:
      case quality::Verdict::misfit: return Flag::undetermined;
    }
  }
  return word == quality::flag_name(Flag::undetermined) ? Flag::undetermined : Flag::determined;
}

}  // namespace

study::Key key_of(const Configuration& c) { return {c.species, c.scenario, c.tag}; }

study::Stored stored_of(const RunEntry& entry, const Outcome& o, std::int64_t batch) {
  const Configuration& c = entry.config;
  study::Stored stored;
  study::ConfigurationRecord& r = stored.record;
  r.key = key_of(c);
  r.run = entry.number;
  r.known_species = entry.species.known();
  r.state = state_name(o.state);
  r.exit_status = o.exit_status;
  r.message = o.message;
  r.results_path = config::results_path(c.species, c.scenario, c.tag);
  r.results_sha256 = o.results_sha256;
  r.inputs = o.inputs;
  if (o.input_format.empty()) {
    r.input_format = config::format_name(input_source().format);
    r.input_variables = input_source().variables;
  } else {
    r.input_format = o.input_format;
    r.input_variables = o.input_variables;
  }
  const config::RateConstants rates = config::rate_constants(entry.species.row, c.tag);
  r.kp = rates.kp;
  r.k = rates.k;
  r.wmol.fill(std::numeric_limits<double>::quiet_NaN());
  r.seconds = o.seconds;
  if (o.input_records > 0) r.records = o.input_records;
  r.batch = batch;
  if (!o.numbers) return stored;
  const FitNumbers& numbers = *o.numbers;
  r.wmol = numbers.avgwmol;
  r.replay_total_error = numbers.replay_total.max_error;
  r.replay_total_rms_error = numbers.replay_total.rms_error;
  r.replay_mass_error = numbers.replay_mass.max_error;
  r.replay_mass_rms_error = numbers.replay_mass.rms_error;
  r.undetermined = undetermined_count(numbers);
  int misfits = 0;
  for (int bin = 1; bin <= config::kBins; ++bin) {
    const quality::BinFigures& fit = numbers.bins[bin - 1];
    const quality::BinFigures& q = fit;
    for (int t = 0; t < config::kCoefficients; ++t) {
      const quality::Coefficient& k = q.coefficients[t];
      stored.coefficients.push_back({bin, config::term_label(t), fit.coefficient[t],
                                     fit.lower[t], fit.upper[t], k.at_bound, k.standard_error,
                                     quality::verdict_name(quality::verdict_of(k, q.misfit)),
                                     k.ols_standard_error});
    }
    misfits += q.misfit;
    stored.fits.push_back({bin, q.rss, q.rms, q.r_squared, q.relative_residual,
                           q.autocorrelation, q.misfit, q.drift, q.replay_error,
                           q.replay_rms_error});
  }
  r.misfit = misfits;
  return stored;
}

FitNumbers numbers_of(const study::Stored& stored) {
  FitNumbers numbers;
  numbers.avgwmol = stored.record.wmol;
  numbers.replay_total = {stored.record.replay_total_error, stored.record.replay_total_rms_error};
  numbers.replay_mass = {stored.record.replay_mass_error, stored.record.replay_mass_rms_error};
  for (const study::CoefficientRow& row : stored.coefficients) {
    if (row.target_bin < 1 || row.target_bin > config::kBins) continue;
    quality::BinFigures& bin = numbers.bins[row.target_bin - 1];
    for (int t = 0; t < config::kCoefficients; ++t) {
      if (config::term_label(t) != row.term) continue;
      bin.coefficient[t] = row.coefficient;
      bin.lower[t] = row.lower;
      bin.upper[t] = row.upper;
      quality::Coefficient& q = bin.coefficients[t];
      q.standard_error = row.standard_error;
      q.ols_standard_error = row.ols_standard_error;
      q.at_bound = row.at_bound;
      bin.free_count += !row.at_bound;  // the study keeps k as the coefficients not at a bound
      q.dependent = std::isinf(row.standard_error);
      q.flag = flag_of(row.flag);
    }
  }
  for (const study::FitRow& row : stored.fits) {
    if (row.target_bin < 1 || row.target_bin > config::kBins) continue;
    quality::BinFigures& f = numbers.bins[row.target_bin - 1];
    f.rss = row.rss;
    f.rms = row.rms;
    f.r_squared = row.r_squared;
    f.relative_residual = row.relative_residual;
    f.autocorrelation = row.autocorrelation;
    f.misfit = row.misfit;
    f.drift = row.drift;
    f.replay_error = row.replay_error;
    f.replay_rms_error = row.replay_rms_error;
  }
  return numbers;
}

RecordedSpecies::RecordedSpecies(const std::vector<study::BatchRecord>& batches) {
  for (const study::BatchRecord& b : batches) {
    for (const study::SpeciesRow& row : b.species) rows_.emplace(std::pair{b.id, row.name}, row);
  }
}

SpeciesChoice RecordedSpecies::of(const study::ConfigurationRecord& record) const {
  const std::string& name = record.key.species;
  SpeciesChoice choice = built_in_choice(name);
  const bool built_in = choice.known();
  const auto found = rows_.find({record.batch, name});
  if (found != rows_.end()) {
    // Recorded from the single-precision row the batch ran with: exact.
    const study::SpeciesRow& r = found->second;
    const config::SpeciesRow row{{}, static_cast<float>(r.kp), static_cast<float>(r.multiplier),
                                 static_cast<float>(r.multiplier6), r.layout == "ideal"};
    const bool same = row.kp == choice.row.kp && row.multiplier == choice.row.multiplier &&
                      row.multiplier6 == choice.row.multiplier6 && row.ideal == choice.row.ideal;
    if (!source_from_name(r.source, choice.source)) {
      choice.source = !built_in ? SpeciesSource::file
                      : same    ? SpeciesSource::built_in
                                : SpeciesSource::replaced;
    }
    choice.row = row;
  } else if (!built_in) {
    choice.source = SpeciesSource::file;  // a batch that recorded no rows: its row is unknown
  }
  if (!record.known_species) choice.source = SpeciesSource::none;
  return choice;
}

RunEntry entry_of(const study::Stored& stored, const RecordedSpecies& species) {
  const study::Key& k = stored.record.key;
  return {stored.record.run, {k.species, k.scenario, k.tag}, {}, species.of(stored.record)};
}

Outcome outcome_of(const study::Stored& stored) {
  const study::ConfigurationRecord& r = stored.record;
  Outcome o;
  if (!state_from_name(r.state, o.state)) o.state = State::failed;
  o.exit_status = r.exit_status;
  o.message = r.message;
  o.seconds = r.seconds;
  if (!stored.coefficients.empty()) o.numbers = numbers_of(stored);
  o.input_records = r.records.value_or(0);
  o.inputs = r.inputs;
  o.results_sha256 = r.results_sha256;
  o.input_format = r.input_format;
  o.input_variables = r.input_variables;
  return o;
}

Tables tables_of(const study::Snapshot& snapshot) {
  Tables tables;
  const RecordedSpecies species(snapshot.batches);
  for (const study::Stored& stored : snapshot.configurations) {
    add_rows(entry_of(stored, species), outcome_of(stored), {stored.record.kp, stored.record.k},
             tables);
  }
  return tables;
}

}  // namespace batch
