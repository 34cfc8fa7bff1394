#include "batch/species_table.hpp"

#include <sys/stat.h>

#include <deque>
#include <set>

#include "batch/files.hpp"

namespace batch {
namespace {

struct FileSpecies {
  std::deque<std::string> names;  // a deque: the rows' keys point into it
  std::vector<config::SpeciesRow> rows;
};

FileSpecies& file_species() {
  static FileSpecies species;
  return species;
}

}  // namespace

const config::SpeciesRow* file_species_row(std::string_view species) {
  for (const config::SpeciesRow& row : file_species().rows) {
    if (row.key == species) return &row;
  }
  return nullptr;
}

namespace {

const config::SpeciesRow* file_row(std::string_view species) { return file_species_row(species); }

std::string suggestion(std::string_view name, const std::vector<std::string_view>& candidates) {
  const std::vector<std::string_view> near = config::near_names(name, candidates);
  if (near.empty()) return {};
  std::string text = "; did you mean ";
  for (std::size_t n = 0; n < near.size(); ++n) {
    text += n == 0 ? "" : n + 1 == near.size() ? " or " : ", ";
    text += near[n];
  }
  return text + "?";
}

}  // namespace

const char* source_name(SpeciesSource source) {
  switch (source) {
    case SpeciesSource::built_in: return "built-in";
    case SpeciesSource::file: return "file";
    case SpeciesSource::replaced: return "file-replaces-built-in";
    case SpeciesSource::none: break;
  }
  return "default";
}

void use_species_file(std::vector<config::SpeciesFileRow> rows) {
  FileSpecies& species = file_species();
  species = {};
  for (const config::SpeciesFileRow& r : rows) {
    species.names.push_back(r.name);
    species.rows.push_back({species.names.back(), r.kp, r.multiplier, r.multiplier6, r.ideal});
  }
}

const config::SpeciesRow* known_species(std::string_view species) {
  const config::SpeciesRow* row = file_row(species);
  return row != nullptr ? row : config::find_species(species);
}

SpeciesSource species_source(std::string_view species) {
  if (file_row(species) != nullptr) {
    return config::find_species(species) != nullptr ? SpeciesSource::replaced : SpeciesSource::file;
  }
  return config::find_species(species) != nullptr ? SpeciesSource::built_in : SpeciesSource::none;
}

const config::SpeciesRow& species_row(std::string_view species) {
  return config::species_row(species, file_row(species));
}

std::string check_names(const std::vector<RunEntry>& entries, bool allow_unknown) {
  std::vector<std::string_view> names;
  for (const config::SpeciesRow& row : file_species().rows) names.push_back(row.key);
  for (const config::SpeciesRow& row : config::species_table()) names.push_back(row.key);
  for (const RunEntry& e : entries) {
    const std::string where = e.origin.empty() ? "" : e.origin + ": ";
    const std::string_view meant = config::tag_meant(e.config.tag);
    if (!meant.empty()) {
      return where + (e.origin.empty() ? "--tag: " : "") + "the tag " + quoted(e.config.tag) +
             " is not the tag rule " + std::string(meant) + "; did you mean " +
             std::string(meant) + "? (tags are case-sensitive; only static, no56 and no6 " +
             "change the rate constants)";
    }
    if (allow_unknown || known_species(e.config.species) != nullptr) continue;
    return where + (e.origin.empty() ? "--species: " : "") + "the species " +
           quoted(e.config.species) + " is in no species table" +
           suggestion(e.config.species, names) +
           " (names are case-sensitive; --list-species shows the table, --species-table FILE "
           "adds species, --allow-unknown-species runs it with the default rate constants)";
  }
  return {};
}

std::string species_list_text() {
  std::vector<config::SpeciesRow> rows;
  for (const config::SpeciesRow& row : config::species_table()) {
    const config::SpeciesRow* replaced = file_row(row.key);
    rows.push_back(replaced != nullptr ? *replaced : row);
  }
  for (const config::SpeciesRow& row : file_species().rows) {
    if (config::find_species(row.key) == nullptr) rows.push_back(row);
  }
  return config::species_file_text(rows);
}

std::string use_species_of_reports(const std::vector<std::string>& reports, std::string& kept,
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
  use_species_file(rows);
  std::vector<config::SpeciesRow> table = file_species().rows;
  kept = table.empty() ? std::string() : config::species_file_text(table);
  return {};
}

std::string species_used_text(const std::vector<RunEntry>& entries) {
  std::set<std::string_view> used;
  for (const RunEntry& e : entries) used.insert(e.config.species);
  std::vector<config::SpeciesRow> rows;
  for (const config::SpeciesRow& row : file_species().rows) {
    if (used.count(row.key) != 0) rows.push_back(row);
  }
  return rows.empty() ? std::string() : config::species_file_text(rows);
}

}  // namespace batch
