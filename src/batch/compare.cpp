#include "batch/compare.hpp"

#include <map>
#include <set>

#include "config/config.hpp"

namespace batch {

study::Error fits_as_of(study::Study& db, std::int64_t batch, std::vector<study::Stored>& fits) {
  study::Snapshot snapshot;
  if (study::Error e = db.read(snapshot)) return e;
  bool known = false;
  for (const study::BatchRecord& b : snapshot.batches) known = known || b.id == batch;
  if (!known) {
    std::string ids;
    for (const study::BatchRecord& b : snapshot.batches) {
      ids += (ids.empty() ? "" : ", ") + std::to_string(b.id);
    }
    return {db.path() + " records no batch " + std::to_string(batch) + " (its batches: " +
                (ids.empty() ? std::string("none") : ids) + ")",
            true};
  }
  if (study::Error e = db.read_history(snapshot, /*with_results=*/false)) return e;
  std::map<study::Key, std::int64_t> latest;  // the log is by batch
  for (const study::LogRow& row : snapshot.log) {
    if (row.batch <= batch) latest[row.key] = row.fit;
  }
  std::map<std::int64_t, const study::FitRecord*> by_id;
  for (const study::FitRecord& fit : snapshot.history) by_id[fit.id] = &fit;
  std::vector<study::Stored> found;
  for (const auto& [key, fit] : latest) {
    const auto at = by_id.find(fit);
    if (at != by_id.end()) found.push_back(at->second->stored);
  }
  fits = std::move(found);
  return {};
}

namespace {

std::map<study::Key, const study::Stored*> fitted(const std::vector<study::Stored>& side) {
  std::map<study::Key, const study::Stored*> by_key;
  for (const study::Stored& s : side) {
    if (!s.coefficients.empty()) by_key[s.record.key] = &s;
  }
  return by_key;
}

report::ComparedKey compared_key(const study::Key& key) {
  return {key.species, key.scenario, key.tag};
}

}  // namespace

report::Comparison compare_fits(const std::vector<study::Stored>& a,
                                const std::vector<study::Stored>& b) {
  report::Comparison comparison;
  const auto side_a = fitted(a), side_b = fitted(b);
  for (const auto& [key, stored] : side_a) {
    if (side_b.count(key) == 0) comparison.only_a.push_back(compared_key(key));
  }
  for (const auto& [key, stored] : side_b) {
    const auto there = side_a.find(key);
    if (there == side_a.end()) {
      comparison.only_b.push_back(compared_key(key));
      continue;
    }
    ++comparison.configurations;
    std::map<std::pair<int, std::string>, const study::CoefficientRow*> before;
    for (const study::CoefficientRow& row : there->second->coefficients) {
      before[{row.target_bin, row.term}] = &row;
    }
    std::map<int, double> replay_a, replay_b;  // bin -> its replay error
    for (const study::FitRow& fit : there->second->fits) replay_a[fit.target_bin] = fit.replay_error;
    for (const study::FitRow& fit : stored->fits) replay_b[fit.target_bin] = fit.replay_error;
    for (const study::CoefficientRow& row : stored->coefficients) {
      report::ComparedCoefficient c;
      c.species = key.species;
      c.scenario = key.scenario;
      c.tag = key.tag;
      c.bin = row.target_bin;
      c.term = row.term;
      c.value_b = row.coefficient;
      c.standard_error_b = row.standard_error;
      c.verdict_b = row.flag;
      if (const auto at = replay_b.find(row.target_bin); at != replay_b.end()) {
        c.replay_error_b = at->second;
      }
      if (const auto at = replay_a.find(row.target_bin); at != replay_a.end()) {
        c.replay_error_a = at->second;
      }
      if (const auto at = before.find({row.target_bin, row.term}); at != before.end()) {
        c.value_a = at->second->coefficient;
        c.standard_error_a = at->second->standard_error;
        c.verdict_a = at->second->flag;
      }
      comparison.rows.push_back(std::move(c));
    }
  }
  return comparison;
}

const CsvRow& compare_header() {
  static const CsvRow header = {"species", "scenario", "tag", "bin", "term", "value_a",
                                "value_b", "change", "standard_error_a", "standard_error_b",
                                "combined_standard_error", "change_in_standard_errors",
                                "verdict_a", "verdict_b", "replay_error_a", "replay_error_b"};
  return header;
}

std::vector<CsvRow> compare_rows(const report::Comparison& comparison) {
  std::vector<CsvRow> rows;
  rows.reserve(comparison.rows.size());
  for (const report::ComparedCoefficient& c : comparison.rows) {
    rows.push_back({c.species, c.scenario, c.tag, std::to_string(c.bin), c.term,
                    csv_number(c.value_a), csv_number(c.value_b), csv_number(c.change()),
                    csv_number(c.standard_error_a), csv_number(c.standard_error_b),
                    csv_number(c.combined_standard_error()),
                    csv_number(c.change_in_standard_errors()), c.verdict_a, c.verdict_b,
                    csv_number(c.replay_error_a), csv_number(c.replay_error_b)});
  }
  return rows;
}

}  // namespace batch
