// Joining the studies of a run set's shards into one.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "study/study.hpp"

namespace study {
namespace {

// Whether two batches judged their fits by the same limits. A batch of
// schema 4 or before (no replay limit) judged misfits by another figure,
// and its records are refitted and judged anew when joined: only its
// standard errors' limit counts.
bool same_limits(const BatchRecord& a, const BatchRecord& b) {
  if (a.se_limit != b.se_limit) return false;
  if (std::isnan(a.replay_limit) || std::isnan(b.replay_limit)) return true;
  return a.misfit_limit == b.misfit_limit && a.replay_limit == b.replay_limit;
}

namespace fs = std::filesystem;

Error refusal(std::string message) { return {std::move(message), true}; }

// One share: its path and what it holds.
struct Share {
  std::string path;
  Snapshot snapshot;
  const BatchRecord* claim = nullptr;  // its first batch, which every other one must equal
};

bool same_run_set(const BatchRecord& a, const BatchRecord& b) {
  return a.fingerprint == b.fingerprint && a.run_set_size == b.run_set_size &&
         a.shard_count == b.shard_count;
}

std::string shard_name(const BatchRecord& b) {
  return std::to_string(b.shard_index) + "/" + std::to_string(b.shard_count);
}

// The runs of the run set that share `b` holds: entry i (from 0) belongs to
// share (i mod count) + 1.
std::set<int> runs_of_share(const BatchRecord& b) {
  std::set<int> runs;
  for (int run = b.shard_index; run <= b.run_set_size; run += b.shard_count) runs.insert(run);
  return runs;
}

std::string listed(const std::set<int>& runs) {
  std::string text;
  int shown = 0;
  for (int run : runs) {
    if (++shown > 10) return text + ", ...";
    text += (text.empty() ? "" : ", ") + std::to_string(run);
  }
  return text;
}

// Checks that the share's rows are exactly the share of the run set that
// its batches claim. Returns the refusal, or empty.
Error check_claim(Share& share) {
  const Snapshot& s = share.snapshot;
  for (const BatchRecord& b : s.batches) {
    if (b.kind == kBatchKind) {
      share.claim = &b;
      break;
    }
  }
  if (share.claim == nullptr) {
    return refusal(share.path + " records no batch: it is not a shard's study");
  }
  for (const BatchRecord& b : s.batches) {
    if (b.kind != kBatchKind) continue;  // a forget's row: of no run set
    if (!same_run_set(b, *share.claim) || b.shard_index != share.claim->shard_index) {
      return refusal(share.path + " holds batches of more than one run set or shard (" +
                     shard_name(*share.claim) + " and " + shard_name(b) +
                     "): it is not one shard's study");
    }
    if (!same_limits(b, *share.claim)) {
      return refusal(share.path + " holds batches flagged under different limits");
    }
  }
  const std::set<int> expected = runs_of_share(*share.claim);
  std::set<int> found;
  for (const Stored& stored : s.configurations) {
    const int run = stored.record.run;
    if (expected.count(run) == 0) {
      return refusal(share.path + " holds " + display_name(stored.record.key) + " as run " +
                     std::to_string(run) + ", which is not in its share " +
                     shard_name(*share.claim) + " of " + std::to_string(share.claim->run_set_size) +
                     " configurations");
    }
    if (!found.insert(run).second) {
      return refusal(share.path + " holds run " + std::to_string(run) + " twice");
    }
  }
  if (found != expected) {
    std::set<int> missing;
    for (int run : expected) {
      if (found.count(run) == 0) missing.insert(run);
    }
    return refusal(share.path + " holds " + std::to_string(found.size()) + " of the " +
                   std::to_string(expected.size()) + " configurations of its share " +
                   shard_name(*share.claim) + " (runs missing: " + listed(missing) +
                   "); run that share again");
  }
  return {};
}

// Checks that each row the share kept a digest with is still what was
// recorded. Returns the refusal, or empty.
Error check_digests(const Share& share) {
  for (const Stored& stored : share.snapshot.configurations) {
    if (stored.record_sha256.empty() || stored.record_sha256 == record_digest(stored)) continue;
    return refusal(share.path + " holds " + display_name(stored.record.key) +
                   " with a record changed since its batch wrote it (its rows do not match their "
                   "record_sha256); run that share's batch again to check it against its files");
  }
  return {};
}

std::string shown(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string constants_text(const SpeciesRow& row) {
  return "kp " + shown(row.kp) + ", multipliers " + shown(row.multiplier) + " and " +
         shown(row.multiplier6) + ", " + row.layout + " layout";
}

std::string constants_text(const ConfigurationRecord& c) {
  std::string text = "KP " + shown(c.kp) + ", K1..K6";
  for (double k : c.k) text += " " + shown(k);
  return text;
}

// The constants each share fitted a species with: the species row of the
// batch that last ran each configuration, and the configuration's own KP
// and K1..K6 (one species and tag, any scenario). Two shares that differ
// are refused, or with `allow` named in `notes`, once per species.
Error check_constants(const std::vector<Share>& shares, bool allow,
                      std::vector<std::string>* notes) {
  struct Seen {
    const Share* share;
    std::string text;
  };
  std::map<std::string, Seen> rows;                              // by species
  std::map<std::pair<std::string, std::string>, Seen> constants;  // by species and tag
  std::set<std::string> mixed;
  auto differ = [&](const std::string& species, const Seen& had, const Seen& now) -> Error {
    if (!mixed.insert(species).second) return {};
    const std::string what = "the species " + species + " was fitted with other constants in " +
                             had.share->path + " (" + had.text + ") than in " + now.share->path +
                             " (" + now.text + ")";
    if (!allow) {
      return refusal(what + "; run one share again with the other's species table, or give "
                            "--allow-mixed-constants to join them as they are");
    }
    if (notes) notes->push_back(what + ": models.csv compares its tags as they were fitted");
    return {};
  };
  for (const Share& share : shares) {
    std::map<std::int64_t, const BatchRecord*> batches;
    for (const BatchRecord& b : share.snapshot.batches) batches[b.id] = &b;
    for (const Stored& stored : share.snapshot.configurations) {
      const ConfigurationRecord& c = stored.record;
      const Seen own{&share, constants_text(c)};
      auto [at, added] = constants.emplace(std::pair{c.key.species, c.key.tag}, own);
      if (!added && at->second.share != &share && at->second.text != own.text) {
        if (Error e = differ(c.key.species, at->second, own)) return e;
      }
      const auto batch = batches.find(c.batch);
      if (batch == batches.end()) continue;
      for (const SpeciesRow& row : batch->second->species) {
        if (row.name != c.key.species) continue;
        const Seen used{&share, constants_text(row)};
        auto [was, first] = rows.emplace(row.name, used);
        if (!first && was->second.share != &share && was->second.text != used.text) {
          if (Error e = differ(row.name, was->second, used)) return e;
        }
      }
    }
  }
  return {};
}

// Opens and reads each of `shares` into `read` (as many), checking each on
// its own: that it is neither the study to write nor given twice, that it
// is one shard's study, whole, and that its digests hold.
Error read_shares(const std::vector<std::string>& shares, const std::string& into,
                  std::vector<Share>& read) {
  std::error_code ec;
  for (std::size_t n = 0; n < shares.size(); ++n) {
    Share& share = read[n];
    share.path = shares[n];
    if (fs::exists(into, ec) && fs::equivalent(share.path, into, ec)) {
      return refusal(into + " is one of the studies to join");
    }
    for (std::size_t m = 0; m < n; ++m) {
      if (fs::equivalent(share.path, read[m].path, ec)) {
        return refusal(share.path + " is given twice (as " + read[m].path + ")");
      }
    }
    Study study;
    if (Error e = Study::open(share.path, study, /*read_only=*/true)) return e;
    if (Error e = study.read(share.snapshot)) return e;
    if (Error e = study.read_history(share.snapshot)) return e;
    if (Error e = check_claim(share)) return e;
    if (Error e = check_digests(share)) return e;
  }
  return {};
}

// Checks that the shares are of one run set, flagged alike, and cover it.
Error check_cover(const std::vector<Share>& read) {
  const Share& first = read.front();
  std::set<int> indices;
  for (const Share& share : read) {
    if (!same_run_set(*share.claim, *first.claim)) {
      return refusal(share.path + " holds a share of another run set than " + first.path);
    }
    if (!same_limits(*share.claim, *first.claim)) {
      return refusal(share.path +
                     " was flagged under other limits (--se-limit, --misfit-limit, --replay-limit) "
                     "than " + first.path);
    }
    indices.insert(share.claim->shard_index);
  }
  std::string missing;
  for (int k = 1; k <= first.claim->shard_count; ++k) {
    if (indices.count(k) == 0) {
      missing += (missing.empty() ? "" : ", ") + std::to_string(k) + "/" +
                 std::to_string(first.claim->shard_count);
    }
  }
  if (!missing.empty()) {
    return refusal("the study of share " + missing + " is missing; give every share's study");
  }
  return {};
}

// The joined study: every share's batches, renumbered in order, and one
// row per configuration (a configuration in two shares must have the same
// results in both).
Error join(const std::vector<Share>& read, Snapshot& joined) {
  std::map<Key, std::pair<std::size_t, const Share*>> chosen;  // -> place in joined, its share
  std::map<int, Key> key_of_run;
  for (const Share& share : read) {
    std::map<std::int64_t, std::int64_t> renumbered;
    for (const BatchRecord& batch : share.snapshot.batches) {
      BatchRecord copy = batch;
      copy.id = static_cast<std::int64_t>(joined.batches.size()) + 1;
      renumbered[batch.id] = copy.id;
      joined.batches.push_back(std::move(copy));
    }
    // The share's history and log, their batches and fits renumbered.
    std::map<std::int64_t, std::int64_t> fits;
    for (const FitRecord& fit : share.snapshot.history) {
      FitRecord copy = fit;
      copy.id = static_cast<std::int64_t>(joined.history.size()) + 1;
      copy.stored.record.batch = renumbered[fit.stored.record.batch];
      fits[fit.id] = copy.id;
      joined.history.push_back(std::move(copy));
    }
    const auto fit_of = [&](std::int64_t id) {
      const auto at = fits.find(id);
      return at == fits.end() ? std::int64_t{0} : at->second;
    };
    for (const LogRow& row : share.snapshot.log) {
      LogRow copy = row;
      copy.batch = renumbered[row.batch];
      copy.fit = fit_of(row.fit);
      joined.log.push_back(std::move(copy));
    }
    for (const Stored& stored : share.snapshot.configurations) {
      const ConfigurationRecord& c = stored.record;
      auto [run_at, new_run] = key_of_run.emplace(c.run, c.key);
      if (!new_run && run_at->second != c.key) {
        return refusal("run " + std::to_string(c.run) + " is " + display_name(run_at->second) +
                       " in one share and " + display_name(c.key) + " in " + share.path +
                       ": they are not shares of one run set");
      }
      auto at = chosen.find(c.key);
      if (at != chosen.end()) {
        const ConfigurationRecord& kept = joined.configurations[at->second.first].record;
        if (kept.results_sha256 != c.results_sha256) {
          return refusal(display_name(c.key) + " has different results in " +
                         at->second.second->path + " and " + share.path +
                         " (results files with other SHA-256); run it again in one of them");
        }
        continue;
      }
      Stored copy = stored;
      copy.record.batch = renumbered[c.batch];
      copy.ran_by = renumbered[stored.ran_by];
      copy.fit = fit_of(stored.fit);
      if (copy.fit == 0 && !copy.coefficients.empty() && !c.results_sha256.empty()) {
        // A share of version 4 keeps no history: its numbers become the
        // configuration's first fit, as an upgrade makes them.
        FitRecord first{static_cast<std::int64_t>(joined.history.size()) + 1, copy,
                        share.claim->se_limit, share.claim->misfit_limit,
                        share.claim->replay_limit, std::nullopt};
        first.stored.model.reset();
        copy.fit = first.id;
        joined.history.push_back(std::move(first));
      }
      chosen[c.key] = {joined.configurations.size(), &share};
      joined.configurations.push_back(std::move(copy));
    }
  }
  return {};
}

}  // namespace

Error merge(const std::vector<std::string>& shares, const std::string& into,
            const MergeOptions& options, std::vector<std::string>* notes) {
  if (shares.empty()) return refusal("no shard's study to join");
  std::vector<Share> read(shares.size());  // never resized: each claim points into its share
  if (Error e = read_shares(shares, into, read)) return e;
  if (Error e = check_cover(read)) return e;
  Snapshot joined;
  if (Error e = join(read, joined)) return e;
  if (Error e = check_constants(read, options.allow_mixed_constants, notes)) return e;
  std::stable_sort(joined.configurations.begin(), joined.configurations.end(),
                   [](const Stored& a, const Stored& b) { return a.record.run < b.record.run; });
  if (options.merging != nullptr) {
    BatchRecord merging = *options.merging;
    const BatchRecord& claim = *read.front().claim;
    merging.id = static_cast<std::int64_t>(joined.batches.size()) + 1;
    merging.kind = kMergeKind;
    merging.fingerprint = claim.fingerprint;
    merging.run_set_size = claim.run_set_size;
    merging.shard_index = merging.shard_count = 1;
    merging.se_limit = claim.se_limit;
    merging.misfit_limit = claim.misfit_limit;
    merging.species.clear();
    if (merging.ended.empty()) merging.ended = utc_timestamp();
    for (const Stored& stored : joined.configurations) {
      joined.log.push_back({merging.id, stored.record.key, "merged", stored.fit});
    }
    joined.batches.push_back(std::move(merging));
  }

  Study target;
  if (Error e = Study::open(into, target)) return e;
  return target.write_snapshot(joined);
}

}  // namespace study
