#include "batch/pages.hpp"

#include "batch/analysis.hpp"
#include "batch/species_table.hpp"
#include "batch/files.hpp"
#include "batch/record.hpp"
#include "batch/tables.hpp"
#include "config/config.hpp"
#include "report/report.hpp"

namespace batch {

report::IndexRow index_row(const PageEntry& e) {
  report::IndexRow row;
  row.species = e.config.species;
  row.scenario = e.config.scenario;
  row.tag = e.config.tag;
  row.known_species = known_species(e.config.species) != nullptr;
  row.state = e.state;
  row.message = e.message;
  if (e.fit && e.page) {
    std::array<double, config::kBins> r_squared{};
    for (int r = 0; r < config::kBins; ++r) r_squared[r] = e.fit->bins[r].quality.r_squared;
    row.worst_r_squared = report::worst_r_squared(r_squared);
    row.undetermined = undetermined_count(*e.fit);
    row.linked = true;
  }
  return row;
}

std::vector<PageEntry> page_entries(const std::vector<RunEntry>& entries,
                                    const std::vector<Outcome>& outcomes) {
  std::vector<PageEntry> pages;
  for (std::size_t n = 0; n < entries.size(); ++n) {
    const Outcome& o = outcomes[n];
    pages.push_back({entries[n].config, state_name(o.state), o.message, o.numbers.has_value(),
                     o.numbers, o.page});
  }
  return pages;
}

std::vector<PageEntry> page_entries(const study::Snapshot& snapshot, const std::string& report) {
  std::vector<PageEntry> pages;
  for (const study::Stored& stored : snapshot.configurations) {
    const study::Key& k = stored.record.key;
    PageEntry entry{{k.species, k.scenario, k.tag}, stored.record.state, stored.record.message,
                    !stored.coefficients.empty(), std::nullopt, false};
    if (entry.numbers) {
      entry.fit = numbers_of(stored);
      entry.page = path_exists(report + "/" + report::page_name(k.species, k.scenario, k.tag));
    }
    pages.push_back(std::move(entry));
  }
  return pages;
}

std::string write_pages(const std::string& report, const std::string& workdir,
                        std::vector<PageEntry> entries, const Tally& tally, double se_limit) {
  std::vector<report::IndexRow> rows;
  for (PageEntry& e : entries) {
    if (e.numbers && !e.page) {
      Analysis analysis = analyze({e.config, workdir, report, se_limit, true, nullptr});
      if (!analysis.error.empty()) return analysis.error;
      if (analysis.numbers) {
        e.fit = analysis.numbers;
        e.page = true;
      } else {
        e.message += (e.message.empty() ? "" : "; ") + ("no page: " + analysis.note);
      }
    }
    rows.push_back(index_row(e));
  }
  const report::IndexCounts counts{tally.of(State::succeeded), tally.of(State::kept),
                                  tally.of(State::failed)};
  return write_file_atomically(report + "/" + kIndexPage,
                               report::render_index(rows, counts, se_limit));
}

}  // namespace batch
