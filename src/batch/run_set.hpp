// The run set of vbsfit-batch: the configurations of a study, given as lists
// (their product) or as a plan file, checked before anything runs, and the
// share of it that one shard runs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/config.hpp"

namespace batch {

// What a vbsfit binary has built in: the species, the scenario label and the
// run tag.
struct Configuration {
  std::string species;
  std::string scenario;
  std::string tag;
  bool operator==(const Configuration&) const = default;
};

// "species/scenario/tag": no name holds a '/', so this names a configuration
// without ambiguity (and is where its files go in the report).
std::string display_name(const Configuration& config);

// Where the constants of a species come from.
enum class SpeciesSource {
  built_in,  // the built-in table
  file,      // a row of the species table file, for a species the table lacks
  replaced,  // a row of the file in place of the built-in one of that name
  none,      // neither: the default constants (--allow-unknown-species)
};
// Its name in runs.csv and the study: "built-in", "file",
// "file-replaces-built-in", "default"; and back (false for another name).
const char* source_name(SpeciesSource source);
bool source_from_name(std::string_view name, SpeciesSource& source);

// The row a configuration's species runs with, and where it comes from:
// resolved once, when the run set is read (or from the study's record of
// the batch that fitted it), and read from here by the run and every view.
// The row's key is left empty: the configuration names the species.
struct SpeciesChoice {
  config::SpeciesRow row = config::other_species();
  SpeciesSource source = SpeciesSource::none;
  bool known() const { return source != SpeciesSource::none; }
};
// The built-in table's choice for `species`: its row, else the default one.
SpeciesChoice built_in_choice(std::string_view species);

// One configuration of the run set, `number` its position in it (from 1),
// `origin` where it was given ("plan.txt:3", or empty for the lists), and
// the species row it runs with: the built-in table's until the batch
// resolves it with its own (batch/species_table.hpp).
struct RunEntry {
  RunEntry() = default;
  RunEntry(int number, Configuration config, std::string origin)
      : number(number), config(std::move(config)), origin(std::move(origin)),
        species(built_in_choice(this->config.species)) {}
  RunEntry(int number, Configuration config, std::string origin, SpeciesChoice species)
      : number(number), config(std::move(config)), origin(std::move(origin)), species(species) {}

  int number = 0;
  Configuration config;
  std::string origin;
  SpeciesChoice species;
};

// The name, quoted for a message, with what would not print shown as
// config::printable() shows it.
std::string quoted(std::string_view name);

// The product of three comma-separated lists, species varying slowest and
// tag fastest. Blanks around an item are dropped. Returns the refusal, naming
// the option, or empty with `entries` filled.
std::string product_run_set(std::string_view species, std::string_view scenarios,
                            std::string_view tags, std::vector<RunEntry>& entries);

// The configurations of a plan: one "species,scenario,tag" per line, blanks
// around a field dropped, blank lines and lines whose first non-blank
// character is '#' skipped, and so are the header line kPlanHeader (which
// --dry-run writes first) and a leading byte-order mark. `file` names the
// plan in messages. Returns the refusal, naming the line, or empty with
// `entries` filled in line order.
std::string plan_run_set(std::string_view text, std::string_view file,
                         std::vector<RunEntry>& entries);

inline constexpr std::string_view kPlanHeader = "species,scenario,tag";
// The run set as a plan: kPlanHeader, then one line per configuration in
// run-set order; plan_run_set() reads it back to the same run set.
std::string plan_text(const std::vector<RunEntry>& entries);

// Why one of the names of `config` cannot serve, as the run set's lists and
// plans refuse it ("species '../../..' contains '/'"), or empty when all
// three can. A name far longer than its limit is shown by its start.
std::string configuration_refusal(const Configuration& config);

// Refuses a run set in which a configuration comes twice or two
// configurations would write the same results file (the file name joins the
// names with dots, so "a.b/c/t" and "a/b.c/t" meet). Empty when none does.
std::string check_distinct(const std::vector<RunEntry>& entries);

// Share `index` of `count` (1 <= index <= count): entry i of the run set
// (from 0) belongs to share (i mod count) + 1.
struct Shard {
  int index = 1;
  int count = 1;
};
// Reads "K/N"; false when it is not two such numbers.
bool parse_shard(std::string_view text, Shard& shard);
std::vector<RunEntry> shard_of(const std::vector<RunEntry>& entries, Shard shard);

// A digest of the run set (names and order), the same for every shard of one
// study, so that shards of different studies are not joined by mistake.
std::uint64_t fingerprint(const std::vector<RunEntry>& entries);

}  // namespace batch
