#include "batch/species_table.hpp"

#include <sys/stat.h>

#include <set>

#include "batch/files.hpp"

namespace batch {
namespace {

config::SpeciesRow row_of(const config::SpeciesFileRow& r) {
  return {r.name, r.kp, r.multiplier, r.multiplier6, r.ideal};
}

}  // namespace

const config::SpeciesFileRow* SpeciesTable::file_row(std::string_view species) const {
  for (const config::SpeciesFileRow& row : file_rows_) {
    if (row.name == species) return &row;
  }
  return nullptr;
}

SpeciesChoice SpeciesTable::choose(std::string_view species) const {
  const config::SpeciesFileRow* given = file_row(species);
  if (given == nullptr) return built_in_choice(species);
  SpeciesChoice choice;
  choice.row = row_of(*given);
  choice.row.key = {};
  choice.source = config::find_species(species) != nullptr ? SpeciesSource::replaced
                                                           : SpeciesSource::file;
  return choice;
}

std::vector<config::SpeciesRow> SpeciesTable::file_species() const {
  std::vector<config::SpeciesRow> rows;
  for (const config::SpeciesFileRow& row : file_rows_) rows.push_back(row_of(row));
  return rows;
}

void resolve_species(const SpeciesTable& table, std::vector<RunEntry>& entries) {
  for (RunEntry& e : entries) e.species = table.choose(e.config.species);
}

std::string check_names(const SpeciesTable& table, const std::vector<RunEntry>& entries,
                        bool allow_unknown) {
  const std::vector<config::SpeciesRow> file = table.file_species();
  std::vector<std::string_view> names;
  for (const config::SpeciesRow& row : file) names.push_back(row.key);
  for (const RunEntry& e : entries) {
    const std::string where = e.origin.empty() ? "" : e.origin + ": ";
    if (std::string refusal = config::tag_refusal(e.config.tag); !refusal.empty()) {
      return where + (e.origin.empty() ? "--tag: " : "") + refusal;
    }
    if (allow_unknown || table.choose(e.config.species).known()) continue;
    return where + (e.origin.empty() ? "--species: " : "") +
           config::unknown_species(e.config.species, names) +
           " (names are case-sensitive; --list-species shows the table, --species-table FILE "
           "adds species, --allow-unknown-species runs it with the default rate constants)";
  }
  return {};
}

std::vector<std::string> tag_warnings(const std::vector<RunEntry>& entries) {
  std::vector<std::string> warnings;
  std::set<std::string> warned;
  for (const RunEntry& e : entries) {
    if (!warned.insert(e.config.tag).second) continue;
    if (std::string warning = config::tag_warning(e.config.tag); !warning.empty()) {
      warnings.push_back(warning);
    }
  }
  return warnings;
}

std::string species_list_text(const SpeciesTable& table) {
  std::vector<config::SpeciesRow> rows;
  for (const config::SpeciesRow& row : config::species_table()) {
    const config::SpeciesFileRow* replaced = table.file_row(row.key);
    rows.push_back(replaced != nullptr ? row_of(*replaced) : row);
  }
  for (const config::SpeciesRow& row : table.file_species()) {
    if (config::find_species(row.key) == nullptr) rows.push_back(row);
  }
  return config::species_file_text(rows);
}

std::string species_of_reports(const std::vector<std::string>& reports, std::string& kept,
                               bool allow_mixed) {
  std::vector<config::SpeciesFileRow> rows;
  for (const std::string& report : reports) {
    const std::string file = report + "/" + kSpeciesUsed;
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) continue;  // the share used no species table
    std::string text;
    if (std::string why = read_input_file(file, kInputFileLimit, text); !why.empty()) {
      return "cannot read " + file + ": " + why;
    }
    std::vector<config::SpeciesFileRow> more;
    if (std::string why = config::parse_species_file(text, file, more); !why.empty()) return why;
    for (const config::SpeciesFileRow& row : more) {
      bool known = false;
      for (const config::SpeciesFileRow& had : rows) {
        if (had.name != row.name) continue;
        known = true;
        if (had.kp != row.kp || had.multiplier != row.multiplier ||
            had.multiplier6 != row.multiplier6 || had.ideal != row.ideal) {
          if (allow_mixed) continue;
          return file + " gives the species " + quoted(row.name) +
                 " other constants than another share's " + kSpeciesUsed;
        }
      }
      if (!known) rows.push_back(row);
    }
  }
  const SpeciesTable joined(std::move(rows));
  const std::vector<config::SpeciesRow> table = joined.file_species();  // keys in `joined`
  kept = table.empty() ? std::string() : config::species_file_text(table);
  return {};
}

std::string species_used_text(const SpeciesTable& table, const std::vector<RunEntry>& entries) {
  std::set<std::string_view> used;
  for (const RunEntry& e : entries) used.insert(e.config.species);
  std::vector<config::SpeciesRow> rows;
  for (const config::SpeciesRow& row : table.file_species()) {
    if (used.count(row.key) != 0) rows.push_back(row);
  }
  return rows.empty() ? std::string() : config::species_file_text(rows);
}

}  // namespace batch
