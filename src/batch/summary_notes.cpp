#include "batch/summary_notes.hpp"

#include <set>

#include "batch/species_table.hpp"
#include "batch/tables.hpp"
#include "config/config.hpp"

namespace batch {

std::string summary_notes(const std::vector<CsvRow>& runs) {
  static const std::size_t species = runs_column("species"), scenario = runs_column("scenario"),
                           tag = runs_column("tag"), source = runs_column("species_source"),
                           records = runs_column("input_records");
  constexpr int kListed = 10;  // configurations named; runs.csv has every one
  std::set<std::string> replaced;
  std::string surplus;
  int surplus_count = 0;
  for (const CsvRow& row : runs) {
    if (row.size() != runs_header().size()) continue;
    if (row[source] == source_name(SpeciesSource::replaced)) replaced.insert(row[species]);
    if (row[records].empty()) continue;
    if (++surplus_count <= kListed) {
      surplus += " " + row[species] + "/" + row[scenario] + "/" + row[tag] + " (" + row[records] +
                 ")";
    }
  }
  std::string text;
  if (!replaced.empty()) {
    text += "  rows of the species table file used in place of the built-in ones:";
    for (const std::string& name : replaced) text += " " + name;
    text += "\n";
  }
  if (surplus_count > 0) {
    text += "  warning: input files with more than " + std::to_string(config::kRecords) +
            " records, of which the fit used the first " + std::to_string(config::kRecords) +
            ":" + surplus +
            (surplus_count > kListed ? " and " + std::to_string(surplus_count - kListed) +
                                           " more (input_records in " + kRunsTable + ")"
                                     : "") +
            "\n";
  }
  return text;
}

}  // namespace batch
