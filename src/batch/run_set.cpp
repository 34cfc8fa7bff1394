#include "batch/run_set.hpp"

#include <charconv>
#include <map>
#include <utility>

#include "config/config.hpp"

namespace batch {
namespace {

// The three names of a configuration and their limits, in order.
struct NameKind {
  std::string_view what;
  std::size_t limit;
};
constexpr NameKind kNames[] = {{"species", config::kSpeciesLength},
                               {"scenario", config::kScenarioLength},
                               {"tag", config::kTagLength}};

// A name longer than this is shown by its first bytes in a refusal.
constexpr std::size_t kShownBytes = 40;

// Why `name` cannot serve as the configuration's `kind`, as a sentence, or
// empty when it can.
std::string name_refusal(const NameKind& kind, std::string_view name) {
  const std::string fault = &kind == &kNames[0] ? config::species_fault(name)
                                                : config::name_fault(name, kind.limit);
  if (fault.empty()) return fault;
  const std::string shown =
      name.size() > kShownBytes ? quoted(name.substr(0, kShownBytes)) + "..." : quoted(name);
  return std::string(kind.what) + " " + shown + " " + fault;
}

// The checked, distinct items of one option's list, or the refusal.
std::string list_items(std::string_view option, const NameKind& kind, std::string_view list,
                       std::vector<std::string>& items) {
  for (std::string_view item : config::split_list(list)) {
    if (std::string fault = name_refusal(kind, item); !fault.empty()) {
      return std::string(option) + ": " + fault;
    }
    for (const std::string& earlier : items) {
      if (earlier == item) return std::string(option) + ": " + quoted(item) + " is listed twice";
    }
    items.emplace_back(item);
  }
  return {};
}

// A spreadsheet or an editor on another system may begin a file with the
// byte-order mark of UTF-8; it is no part of the first name.
bool is_plan_header(const std::vector<std::string_view>& fields) {
  return fields.size() == 3 && fields[0] == "species" && fields[1] == "scenario" &&
         fields[2] == "tag";
}

}  // namespace

std::string plan_text(const std::vector<RunEntry>& entries) {
  std::string text(kPlanHeader);
  text += "\n";
  for (const RunEntry& e : entries) {
    text += e.config.species + "," + e.config.scenario + "," + e.config.tag + "\n";
  }
  return text;
}

const char* source_name(SpeciesSource source) {
  switch (source) {
    case SpeciesSource::built_in: return "built-in";
    case SpeciesSource::file: return "file";
    case SpeciesSource::replaced: return "file-replaces-built-in";
    case SpeciesSource::none: break;
  }
  return "default";
}

bool source_from_name(std::string_view name, SpeciesSource& source) {
  for (SpeciesSource s : {SpeciesSource::built_in, SpeciesSource::file, SpeciesSource::replaced,
                          SpeciesSource::none}) {
    if (name == source_name(s)) {
      source = s;
      return true;
    }
  }
  return false;
}

SpeciesChoice built_in_choice(std::string_view species) {
  SpeciesChoice choice;
  if (const config::SpeciesRow* row = config::find_species(species)) {
    choice.row = *row;
    choice.source = SpeciesSource::built_in;
  }
  choice.row.key = {};
  return choice;
}

std::string display_name(const Configuration& config) {
  return config.species + "/" + config.scenario + "/" + config.tag;
}

std::string quoted(std::string_view name) {
  // Bytes that are not UTF-8, controls and bidirectional overrides would
  // make the message itself unreadable.
  return "'" + config::printable(name) + "'";
}

std::string product_run_set(std::string_view species, std::string_view scenarios,
                            std::string_view tags, std::vector<RunEntry>& entries) {
  std::vector<std::string> lists[3];
  const std::pair<std::string_view, std::string_view> given[3] = {
      {"--species", species}, {"--scenario", scenarios}, {"--tag", tags}};
  for (int n = 0; n < 3; ++n) {
    std::string refusal = list_items(given[n].first, kNames[n], given[n].second, lists[n]);
    if (!refusal.empty()) return refusal;
  }
  entries.clear();
  for (const std::string& s : lists[0]) {
    for (const std::string& n : lists[1]) {
      for (const std::string& t : lists[2]) {
        entries.push_back({static_cast<int>(entries.size()) + 1, {s, n, t}, ""});
      }
    }
  }
  return {};
}

std::string plan_run_set(std::string_view text, std::string_view file,
                         std::vector<RunEntry>& entries) {
  entries.clear();
  int line_number = 0;
  for (std::string_view line; config::next_line(text, line, line_number);) {

    const std::string origin = std::string(file) + ":" + std::to_string(line_number);
    const std::vector<std::string_view> fields = config::split_list(line);
    if (is_plan_header(fields)) continue;  // plans joined with cat each have one
    if (fields.size() != 3) {
      return origin + ": expected species,scenario,tag, found " + std::to_string(fields.size()) +
             (fields.size() == 1 ? " field" : " fields");
    }
    for (int n = 0; n < 3; ++n) {
      std::string fault = name_refusal(kNames[n], fields[n]);
      if (!fault.empty()) return origin + ": " + fault;
    }
    entries.push_back({static_cast<int>(entries.size()) + 1,
                       {std::string(fields[0]), std::string(fields[1]), std::string(fields[2])},
                       origin});
  }
  if (entries.empty()) return std::string(file) + ": the plan holds no configuration";
  return {};
}

std::string configuration_refusal(const Configuration& config) {
  const std::string_view names[3] = {config.species, config.scenario, config.tag};
  for (int n = 0; n < 3; ++n) {
    if (std::string fault = name_refusal(kNames[n], names[n]); !fault.empty()) return fault;
  }
  return {};
}

std::string check_distinct(const std::vector<RunEntry>& entries) {
  std::map<std::string, const RunEntry*> by_results;
  for (const RunEntry& e : entries) {
    const Configuration& c = e.config;
    const std::string path = config::results_path(c.species, c.scenario, c.tag);
    auto [at, added] = by_results.emplace(path, &e);
    if (added) continue;
    const RunEntry& earlier = *at->second;
    const std::string where = e.origin.empty() ? "" : e.origin + ": ";
    const std::string there = earlier.origin.empty() ? "" : " (" + earlier.origin + ")";
    if (earlier.config == c) {
      return where + "the configuration " + quoted(display_name(c)) + " comes twice" + there;
    }
    return where + quoted(display_name(c)) + " and " + quoted(display_name(earlier.config)) +
           there + " would write the same results file " + path;
  }
  return {};
}

bool parse_shard(std::string_view text, Shard& shard) {
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) return false;
  auto number = [](std::string_view digits, int& value) {
    const char* end = digits.data() + digits.size();
    auto result = std::from_chars(digits.data(), end, value);
    return !digits.empty() && digits.front() != '-' && result.ec == std::errc() &&
           result.ptr == end;
  };
  Shard read;
  if (!number(text.substr(0, slash), read.index) || !number(text.substr(slash + 1), read.count)) {
    return false;
  }
  if (read.count < 1 || read.index < 1 || read.index > read.count) return false;
  shard = read;
  return true;
}

std::vector<RunEntry> shard_of(const std::vector<RunEntry>& entries, Shard shard) {
  std::vector<RunEntry> share;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (static_cast<int>(i % static_cast<std::size_t>(shard.count)) + 1 == shard.index) {
      share.push_back(entries[i]);
    }
  }
  return share;
}

std::uint64_t fingerprint(const std::vector<RunEntry>& entries) {
  // FNV-1a over the names, each followed by a 0 byte.
  std::uint64_t hash = 14695981039346656037ull;
  auto add = [&hash](std::string_view text) {
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    hash = (hash ^ 0u) * 1099511628211ull;
  };
  for (const RunEntry& e : entries) {
    add(e.config.species);
    add(e.config.scenario);
    add(e.config.tag);
  }
  return hash;
}

}  // namespace batch
