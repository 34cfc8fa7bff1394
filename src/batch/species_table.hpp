// The species a batch knows: the built-in table, and before it the rows of
// a --species-table file, chosen once for each entry of the run set.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "batch/run_set.hpp"
#include "config/species_file.hpp"

namespace batch {

// The report's copy of the species table rows its run set used.
inline constexpr const char* kSpeciesUsed = "species.csv";

// The species a batch knows: the rows of its --species-table file (none
// by default), before the built-in table. The batch owns one and resolves
// each entry of its run set with it once (choose); nothing reads it after.
class SpeciesTable {
 public:
  SpeciesTable() = default;
  explicit SpeciesTable(std::vector<config::SpeciesFileRow> file_rows)
      : file_rows_(std::move(file_rows)) {}

  // The file's row of `species`, or nullptr.
  const config::SpeciesFileRow* file_row(std::string_view species) const;
  // The row `species` runs with (the file's before the built-in table's,
  // else the default one) and where it comes from.
  SpeciesChoice choose(std::string_view species) const;
  // The file's rows as the built-in table's, keys pointing into this table.
  std::vector<config::SpeciesRow> file_species() const;

 private:
  std::vector<config::SpeciesFileRow> file_rows_;
};

// Gives each entry the row `table` chooses for its species.
void resolve_species(const SpeciesTable& table, std::vector<RunEntry>& entries);

// Refuses a run set that names a species no table has (unless
// `allow_unknown`), or a tag that only differs from a tag rule's key by
// case, '-' or '_', with the names it may have meant. Empty when none does.
std::string check_names(const SpeciesTable& table, const std::vector<RunEntry>& entries,
                        bool allow_unknown);

// The warnings for the run set's tags that are near a tag name without
// being one ("alllgas"), each tag once, in run-set order.
std::vector<std::string> tag_warnings(const std::vector<RunEntry>& entries);

// The table --list-species prints: the built-in rows, each replaced by the
// file's row of its name, then the file's other rows.
std::string species_list_text(const SpeciesTable& table);

// The species table rows that the reports of shards kept (their
// species.csv), for the joined report to keep in turn. Returns the text to
// keep (empty when none kept any), or the refusal when a file cannot be read
// or two give one species other rows (unless `allow_mixed`: then the first
// report's row is taken).
std::string species_of_reports(const std::vector<std::string>& reports, std::string& kept,
                               bool allow_mixed = false);

// The rows of the file that `entries` use, in the file's form (header
// first), for the report; empty when they use none.
std::string species_used_text(const SpeciesTable& table, const std::vector<RunEntry>& entries);

}  // namespace batch
