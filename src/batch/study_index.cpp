#include "batch/study_index.hpp"

#include <algorithm>
#include <map>
#include <utility>

#include "batch/files.hpp"
#include "batch/report_layout.hpp"
#include "config/config.hpp"
#include "quality/models.hpp"
#include "report/report.hpp"

namespace batch {

void StudyRows::add(const RunRowSource& source) {
  const Configuration& c = source.entry.config;
  report::StudyRow& r = rows_.emplace_back();
  r.species = c.species;
  r.scenario = c.scenario;
  r.tag = c.tag;
  r.state = state_name(source.outcome.state);
  r.message = source.outcome.message;
  r.known_species = source.entry.species.known();
  r.reactions = report::reactions_of(source.rates.k);
  auto& replay = replays_.emplace_back();
  if (source.outcome.numbers) {
    r.fitted = true;
    r.bins = source.outcome.numbers->bins;
    replay = {source.outcome.numbers->replay_total, source.outcome.numbers->replay_mass};
  }
}

void StudyRows::compare_tags(
    const std::function<void(const std::string&, const std::string&,
                             const std::vector<quality::Candidate>&,
                             const std::vector<ReplayTotals>&, const quality::Comparison&)>& visit)
    const {
  // Species and scenarios in the order first listed, each with its tags.
  std::vector<std::pair<std::string, std::string>> groups;
  std::map<std::pair<std::string, std::string>, std::vector<quality::Candidate>> candidates;
  std::map<std::pair<std::string, std::string>, std::vector<ReplayTotals>> replays;
  for (std::size_t n = 0; n < rows_.size(); ++n) {
    const report::StudyRow& r = rows_[n];
    if (!r.fitted) continue;
    auto [at, added] = candidates.try_emplace({r.species, r.scenario});
    if (added) groups.push_back(at->first);
    at->second.push_back({r.tag, r.reactions, {r.bins.begin(), r.bins.end()}});
    replays[at->first].push_back(replays_[n]);
  }
  for (const auto& group : groups) {
    const std::vector<quality::Candidate>& tags = candidates.at(group);
    if (tags.size() < 2) continue;
    visit(group.first, group.second, tags, replays.at(group), quality::compare_models(tags));
  }
}

std::vector<CsvRow> StudyRows::models() const {
  std::vector<CsvRow> rows;
  compare_tags([&](const std::string& species, const std::string& scenario,
                   const std::vector<quality::Candidate>& tags,
                   const std::vector<ReplayTotals>& replays, const quality::Comparison&) {
    for (CsvRow& row : models_rows(species, scenario, tags, replays)) {
      rows.push_back(std::move(row));
    }
  });
  return rows;
}

std::vector<std::pair<study::Key, study::ModelRow>> StudyRows::model_records() const {
  std::vector<std::pair<study::Key, study::ModelRow>> records;
  compare_tags([&](const std::string& species, const std::string& scenario,
                   const std::vector<quality::Candidate>& tags, const std::vector<ReplayTotals>&,
                   const quality::Comparison& c) {
    for (std::size_t n = 0; n < tags.size(); ++n) {
      const quality::Score& score = c.scores[n];
      records.push_back({{species, scenario, tags[n].tag},
                         {score.rss, score.aic, score.free_count,
                          static_cast<int>(n) == c.preferred}});
    }
  });
  return records;
}

report::Study StudyRows::study(const std::string& report,
                               std::vector<report::BatchRecord> batches, double se_limit,
                               double misfit_limit) {
  report::Study study;
  study.batches = std::move(batches);
  study.se_limit = se_limit;
  study.misfit_limit = misfit_limit;
  for (const auto& [limits, count] : limits_) {
    study.limits.push_back({std::get<0>(limits), std::get<1>(limits), std::get<2>(limits), count});
  }
  std::stable_sort(study.limits.begin(), study.limits.end(),
                   [](const report::LimitsUsed& a, const report::LimitsUsed& b) {
                     return a.configurations > b.configurations;
                   });
  if (!study.limits.empty()) {  // the sentence names those most were judged under
    study.se_limit = study.limits.front().se_limit;
    study.misfit_limit = study.limits.front().misfit_limit;
  }
  limits_.clear();
  study.rows = std::move(rows_);
  rows_.clear();
  replays_.clear();
  for (report::StudyRow& r : study.rows) {
    r.linked = r.fitted &&
               path_exists(report + "/" + report::page_name(r.species, r.scenario, r.tag));
  }
  return study;
}

StudyRows study_rows(const std::vector<RunEntry>& entries, const std::vector<Outcome>& outcomes) {
  StudyRows rows;
  for (std::size_t n = 0; n < entries.size(); ++n) {
    const RunEntry& e = entries[n];
    rows.add({e, outcomes[n], config::rate_constants(e.species.row, e.config.tag)});
  }
  return rows;
}

std::string write_study_view(const std::string& report, StudyRows& rows,
                             std::vector<report::BatchRecord> batches, double se_limit,
                             double misfit_limit, bool pages) {
  std::string error = write_file_atomically(
      report + "/" + kModelsTable, csv_text(models_header(), rows.models(), kModelsText));
  if (error.empty() && pages) {
    error = write_file_atomically(
        report + "/" + kIndexPage,
        report::render_study(rows.study(report, std::move(batches), se_limit, misfit_limit)));
  }
  return error;
}

}  // namespace batch
