// The readers of what vbsfit-batch is handed as text: plans and species
// table files. Any bytes must give either a refusal or a result, never a
// crash or an exception; and what is accepted must survive being written
// out again (--dry-run's plan, --list-species's table) and read back.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

#include "batch/run_set.hpp"
#include "batch/species_table.hpp"
#include "config/species_file.hpp"

namespace {

[[noreturn]] void disagree(const std::string& what) {
  std::fprintf(stderr, "plan_fuzz: %s\n", what.c_str());
  std::abort();
}

void plan(std::string_view text) {
  std::vector<batch::RunEntry> entries;
  if (!batch::plan_run_set(text, "fuzz.plan", entries).empty()) return;
  if (entries.empty()) disagree("a plan accepted without a configuration");
  (void)batch::check_distinct(entries);
  (void)batch::check_names(batch::SpeciesTable(), entries, false);
  std::vector<batch::RunEntry> again;
  const std::string written = batch::plan_text(entries);
  if (const std::string why = batch::plan_run_set(written, "again", again); !why.empty()) {
    disagree("the plan written back is refused: " + why);
  }
  if (again.size() != entries.size()) disagree("the plan written back has another size");
  for (std::size_t n = 0; n < entries.size(); ++n) {
    if (!(again[n].config == entries[n].config)) disagree("the plan written back differs");
  }
}

void species_table(std::string_view text) {
  std::vector<config::SpeciesFileRow> rows;
  if (!config::parse_species_file(text, "fuzz.csv", rows).empty()) return;
  std::vector<config::SpeciesRow> table;
  for (const config::SpeciesFileRow& r : rows) {
    table.push_back({r.name, r.kp, r.multiplier, r.multiplier6, r.ideal});
  }
  std::vector<config::SpeciesFileRow> again;
  const std::string written = config::species_file_text(table);
  if (const std::string why = config::parse_species_file(written, "again", again); !why.empty()) {
    disagree("the table written back is refused: " + why);
  }
  if (again.size() != rows.size()) disagree("the table written back has another size");
  for (std::size_t n = 0; n < rows.size(); ++n) {
    const bool same = again[n].name == rows[n].name && again[n].ideal == rows[n].ideal &&
                      std::bit_cast<std::uint32_t>(again[n].kp) ==
                          std::bit_cast<std::uint32_t>(rows[n].kp) &&
                      std::bit_cast<std::uint32_t>(again[n].multiplier) ==
                          std::bit_cast<std::uint32_t>(rows[n].multiplier) &&
                      std::bit_cast<std::uint32_t>(again[n].multiplier6) ==
                          std::bit_cast<std::uint32_t>(rows[n].multiplier6);
    if (!same) disagree("the row of " + rows[n].name + " written back differs");
  }
  // The names of the table against a run set of them and of near misses.
  const batch::SpeciesTable species(rows);
  std::vector<batch::RunEntry> entries;
  for (const config::SpeciesFileRow& r : rows) {
    entries.push_back({static_cast<int>(entries.size()) + 1, {r.name, "0.1", "allgas"}, ""});
  }
  if (!batch::check_names(species, entries, false).empty()) {
    disagree("a species of the file is refused");
  }
  (void)batch::species_list_text(species);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    plan(text);
  } else {
    species_table(text);
  }
  return 0;
}
