#include "batch/summary.hpp"

#include <csignal>
#include <map>
#include <set>

#include "batch/species_table.hpp"
#include "batch/tables.hpp"
#include "config/config.hpp"

namespace batch {
namespace {

// "N configurations: S succeeded, K kept, F failed", then interrupted and
// pending when there are any.
std::string count_line(const Tally& tally) {
  std::string text = "vbsfit-batch: " + std::to_string(tally.total) +
                     (tally.total == 1 ? " configuration: " : " configurations: ");
  const struct {
    State state;
    bool always;
  } order[] = {{State::succeeded, true}, {State::kept, true}, {State::failed, true},
               {State::stale, false}, {State::interrupted, false}, {State::pending, false}};
  bool first = true;
  for (const auto& [state, always] : order) {
    if (tally.of(state) == 0 && !always) continue;
    text += (first ? "" : ", ") + std::to_string(tally.of(state)) + " " + state_name(state);
    first = false;
  }
  return text + "\n";
}

std::string signal_name(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
  }
  return "signal " + std::to_string(signal);
}

std::string name_of(const RunRowSource& row) { return display_name(row.entry.config); }

// Whether a species table file's row gives `species` other constants or
// another layout than the built-in table does. A table started from
// --list-species repeats the built-in rows: those replace nothing worth a
// word.
bool differs_from_built_in(const config::SpeciesRow& row, std::string_view species) {
  const config::SpeciesRow* built_in = config::find_species(species);
  return built_in == nullptr || built_in->kp != row.kp ||
         built_in->multiplier != row.multiplier || built_in->multiplier6 != row.multiplier6 ||
         built_in->ideal != row.ideal;
}

}  // namespace

void Summary::add(const RunRowSource& row) {
  const Configuration& c = row.entry.config;
  const Outcome& o = row.outcome;
  tally_.add(o.state, !o.message.empty());
  add_problem(row);
  if (!row.entry.species.known()) ++unknown_[c.species];
  if (const std::optional<FitCounts> counts = fit_counts(o)) {
    ++with_figures_;
    undetermined_in_ += counts->undetermined > 0;
    undetermined_ += counts->undetermined;
    misfit_bins_ += counts->misfit;
    misfit_in_ += counts->misfit > 0;
  }
  if (row.entry.species.source == SpeciesSource::replaced &&
      differs_from_built_in(row.entry.species.row, c.species)) {
    replaced_.insert(c.species);
  }
  if (o.input_records > 0 && ++surplus_ <= kListedSurplus) {
    surplus_named_ += " " + name_of(row) + " (" + std::to_string(o.input_records) + ")";
  }
}

// One line per failure, per stale results file and per note beside a run
// that succeeded, in run-set order, kListedProblems at most.
void Summary::add_problem(const RunRowSource& row) {
  const Outcome& o = row.outcome;
  const bool failure = o.state == State::failed;
  const bool stale = o.state == State::stale;
  const bool note = o.state == State::succeeded && !o.message.empty();
  if (!failure && !stale && !note) return;
  if (listed_ == kListedProblems) {
    ++unlisted_;
    return;
  }
  ++listed_;
  if (stale) {
    problems_ += "  stale: " + name_of(row) + ": " + o.message + "\n";
    return;
  }
  const std::string status = failure && o.exit_status
                                 ? " (exit status " + std::to_string(*o.exit_status) + ")"
                                 : "";
  problems_ += "  " + std::string(failure ? "failed" : "note") + ": " + name_of(row) + status +
               ": " + o.message + "\n";
}

std::string Summary::text(const Tally& tally, const std::string& shown, int stop_signal,
                          double misfit_limit) const {
  std::string text = count_line(tally) + problems_;
  if (unlisted_ > 0) {
    text += "  ... and " + std::to_string(unlisted_) + " more; see " + kRunsTable + "\n";
  }
  // A failed configuration stays in the study until it is fitted or let go.
  if (tally.of(State::failed) > 0) {
    text += "  failed configurations stay in the study until they are fitted; --forget with "
            "a run set of only them (--species, --scenario, --tag or --plan) removes them\n";
  }
  // The species not in the table, with their count.
  if (!unknown_.empty()) {
    text += "  not in the species table, run with the default rate constants:";
    for (const auto& [name, count] : unknown_) {
      text += " " + name + (count > 1 ? " (" + std::to_string(count) + ")" : "");
    }
    text += "\n";
  }
  // The species whose row of the species table file took the place of the
  // built-in one.
  if (!replaced_.empty()) {
    text += "  rows of the species table file used in place of the built-in ones:";
    for (const std::string& name : replaced_) text += " " + name;
    text += "\n";
  }
  // The configurations whose inputs hold more records than a fit reads.
  if (surplus_ > 0) {
    const std::string records = std::to_string(config::kRecords);
    text += "  warning: input files with more than " + records +
            " records, of which the fit used the first " + records + ":" + surplus_named_ +
            (surplus_ > kListedSurplus ? " and " + std::to_string(surplus_ - kListedSurplus) +
                                             " more (input_records in " + kRunsTable + ")"
                                       : "") +
            "\n";
  }
  if (stop_signal != 0) {
    text += "  stopped by " + signal_name(stop_signal) +
            "; the same command again finishes the rest\n";
  }
  // How many coefficients are undetermined, in how many of the
  // configurations with figures.
  if (with_figures_ > 0) {
    text += "  " + std::to_string(undetermined_) +
            (undetermined_ == 1 ? " coefficient" : " coefficients") + " undetermined in " +
            std::to_string(undetermined_in_) + " of " + std::to_string(with_figures_) +
            " configurations; see the report\n";
  }
  // How many target bins are misfit, in how many configurations.
  if (misfit_bins_ > 0) {
    text += "  " + std::to_string(misfit_bins_) +
            (misfit_bins_ == 1 ? " target bin in " : " target bins in ") +
            std::to_string(misfit_in_) + (misfit_in_ == 1 ? " configuration" : " configurations") +
            " misfit: the model does not describe their data (residuals' lag-1 autocorrelation "
            "above " + csv_number(misfit_limit) + "); see the report\n";
  }
  return text + "  report: " + shown + "\n";
}

std::string summarize(const Tally& tally, const std::vector<RunEntry>& entries,
                      const std::vector<Outcome>& outcomes, const std::string& shown,
                      int stop_signal, double misfit_limit) {
  Summary summary;
  for (std::size_t n = 0; n < entries.size(); ++n) {
    const RunEntry& e = entries[n];
    summary.add({e, outcomes[n], config::rate_constants(e.species.row, e.config.tag)});
  }
  return summary.text(tally, shown, stop_signal, misfit_limit);
}

}  // namespace batch
