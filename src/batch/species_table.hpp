// The species a batch knows: the built-in table, and before it the rows of
// a --species-table file. Set once, before the first run, so that every
// child (a fork of the batch) and every table sees the same rows.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "batch/run_set.hpp"
#include "config/species_file.hpp"

namespace batch {

// The report's copy of the species table rows its run set used.
inline constexpr const char* kSpeciesUsed = "species.csv";

// Where the constants of a species come from.
enum class SpeciesSource {
  built_in,  // the built-in table
  file,      // a row of the species table file, for a species the table lacks
  replaced,  // a row of the file in place of the built-in one of that name
  none,      // neither: the default constants (--allow-unknown-species)
};
// Its name in runs.csv: "built-in", "file", "file-replaces-built-in", "default".
const char* source_name(SpeciesSource source);

// Takes the rows of a species table file for the rest of the process.
void use_species_file(std::vector<config::SpeciesFileRow> rows);

// The file's row of a species, or nullptr: what a run is handed.
const config::SpeciesRow* file_species_row(std::string_view species);
// The row a species runs with (the file's before the built-in table's), or
// nullptr when neither has it.
const config::SpeciesRow* known_species(std::string_view species);
SpeciesSource species_source(std::string_view species);
// The row a run of `species` takes: known_species(), else the default row.
const config::SpeciesRow& species_row(std::string_view species);

// Refuses a run set that names a species no table has (unless
// `allow_unknown`), or a tag that only differs from a tag rule's key by
// case, '-' or '_', with the names it may have meant. Empty when none does.
std::string check_names(const std::vector<RunEntry>& entries, bool allow_unknown);

// The table --list-species prints: the built-in rows, each replaced by the
// file's row of its name, then the file's other rows.
std::string species_list_text();

// Takes the species table rows that the reports of shards kept (their
// species.csv), so that a joined report knows the species they ran. Returns
// the text to keep in the joined report (empty when none kept any), or the
// refusal when a file cannot be read or two give one species other rows
// (unless `allow_mixed`: then the first report's row is taken).
std::string use_species_of_reports(const std::vector<std::string>& reports, std::string& kept,
                                   bool allow_mixed = false);

// The rows of the file that `entries` use, in the file's form (header
// first), for the report; empty when they use none.
std::string species_used_text(const std::vector<RunEntry>& entries);

}  // namespace batch
