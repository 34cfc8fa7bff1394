// The study's record: one SQLite database (study.sqlite in the report
// directory) that every batch updates and never replaces. Plain structs go
// in and come out; no SQL leaves this folder.
//
// Schema version 5 (PRAGMA user_version), WAL journal, foreign keys on:
//
//   batches          one row per batch, merge or forget (kind): program version, source revision,
//                    command line (a JSON array of the arguments), working
//                    directory, host, start and end (UTC, ISO 8601), the run
//                    set's fingerprint (16 hex digits) and size, the shard
//                    ("K/N"), se_limit, misfit_limit, replay_limit (NULL in
//                    a study of version 4 or before), kind ('batch',
//                    'merge', 'forget'; NULL in a study made before version
//                    5: 'batch')
//   species_rows     the species table a batch used: batch, name, kp,
//                    multiplier, multiplier6, layout, and where the row
//                    came from (source; NULL in a study of version 2)
//   configurations   one row per (species, scenario, tag): its place in the
//                    run set, state, exit status, first message line, the
//                    results file and its SHA-256, each input file's path,
//                    size, mtime (ns) and SHA-256, KP, K1..K6, WMOL1..WMOL6,
//                    undetermined and misfit counts, seconds, records read,
//                    the batch that fitted it (its provenance: a batch that
//                    only keeps the result leaves it), record_sha256: the
//                    digest of the row with its coefficients and fits
//                    (record_digest), written with them; then the replay
//                    of its fit for the bins' total and for the total
//                    weighted by the mean molar masses (replay_total_error,
//                    replay_total_rms_error, replay_mass_error,
//                    replay_mass_rms_error); and input_format and
//                    input_variables: the format its inputs were read in
//                    and the NetCDF variables mapped; fit: its current fit
//                    in history (NULL when it has none), and ran_by: the
//                    batch that last ran or checked it
//   coefficients     (configuration, target_bin, term): coefficient, lower,
//                    upper, at_bound, standard_error, flag (the
//                    coefficient's verdict), ols_standard_error
//   fits             (configuration, target_bin): rss, rms, r_squared,
//                    relative_residual, autocorrelation, misfit, and drift,
//                    replay_error, replay_rms_error (the misfit's figures)
//   models           per configuration: total rss, aic, k, preferred
//   history          every fit ever recorded, never changed: the
//                    configuration's row as that fit made it, the limits it
//                    was judged under (se_limit, misfit_limit, replay_limit), and the results file's bytes (NULL for
//                    a fit the study took over from version 4, until a batch
//                    finds the file unchanged); with history_coefficients
//                    and history_fits, the coefficients and fits tables'
//                    columns after the fit's id
//   batch_log        (batch, configuration): what the batch did to it
//                    ('fitted', 'kept', 'stale', 'failed', 'interrupted',
//                    'forgotten') and the fit it then pointed to
//
// coefficients, fits and models cascade from their configuration; history
// stays when a configuration is refitted or forgotten (only a forget with
// its history removes it). Doubles
// are kept bit for bit (-0.0 included); NaN reads back as an absent value
// (NULL in the database), as the tables show it. docs/study-database.md
// describes the tables for users.
//
// Version 1 had no record_sha256, version 2 no species_rows.source, and
// versions 1 to 3 no ols_standard_error; their coefficients carry the flag
// ("determined", "undetermined", "no effect") where version 4 keeps the
// verdict, and standard errors of s^2 (A'A)^-1 alone. A writer's open
// upgrades such a study in one transaction: the columns added, each
// ols_standard_error the row's standard_error, and every record left
// unhashed, so that the next batch over it refits it from its results file
// in memory and records the figures anew. A read-only open (a merge's
// share) changes nothing and reads it alike: its rows unhashed
// (record_sha256 empty), which a merge checks against their files in
// memory instead of trusting them. Version 4 had no drift and no replay
// figures (their columns read as absent) and judged misfits by the
// autocorrelation of the residuals: upgraded, its records are refitted as
// above and judged anew.
//
// Version 4 had no history, batch_log, batches.kind, configurations.fit or
// configurations.ran_by: its upgrade makes each configuration's current
// numbers its first fit in history (under its batch's limits, without the
// results file's bytes, which the next batch that finds the file unchanged
// adds) and logs what its batch did to it.
//
// The guarantee: every configuration is recorded in one transaction, so a
// crash leaves the last committed configuration and nothing half-written;
// a reader in another process sees the study as of a commit.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "config/config.hpp"

struct sqlite3;

namespace study {

inline constexpr int kSchemaVersion = 5;
inline constexpr const char* kDatabaseName = "study.sqlite";

// What went wrong, or nothing. A refusal is the user's to fix (a file that
// is not what it must be: the batch's status 2); any other error is a
// failure of the database or the disk (status 1).
struct Error {
  std::string message;
  bool refusal = false;
  explicit operator bool() const { return !message.empty(); }
};

struct Key {
  std::string species;
  std::string scenario;
  std::string tag;
  auto operator<=>(const Key&) const = default;
};
// "species/scenario/tag".
std::string display_name(const Key& key);

struct SpeciesRow {
  std::string name;
  double kp = 0.0;
  double multiplier = 0.0;   // of K(1...5)
  double multiplier6 = 0.0;  // of K(6)
  std::string layout;        // "standard" or "ideal"
  // Where the batch took the row from: "built-in", "file",
  // "file-replaces-built-in" or "default"; empty when not recorded (a study
  // of version 2 or earlier).
  std::string source;
  bool operator==(const SpeciesRow&) const = default;
};

// What a row of `batches` records.
inline constexpr const char* kBatchKind = "batch";
inline constexpr const char* kMergeKind = "merge";
inline constexpr const char* kForgetKind = "forget";

struct BatchRecord {
  std::int64_t id = 0;  // given by begin_batch
  std::string program_version;
  std::string source_revision;            // empty when not built from a checkout
  std::vector<std::string> command_line;  // argv, kept exactly
  std::string working_directory;
  std::string host;
  std::string started;  // UTC, ISO 8601 ("2024-05-01T12:00:00Z")
  std::string ended;    // empty while it runs (or if it never ended)
  std::uint64_t fingerprint = 0;  // of the whole run set
  int run_set_size = 0;
  int shard_index = 1;  // this batch ran share shard_index/shard_count
  int shard_count = 1;
  double se_limit = 0.0;
  double misfit_limit = 0.0;
  double replay_limit = 0.0;  // NaN: not recorded (a batch of schema 4 or before)
  std::vector<SpeciesRow> species;
  std::string kind = kBatchKind;  // kBatchKind, kMergeKind or kForgetKind
  bool operator==(const BatchRecord&) const = default;
};

// An input or results file as it was when recorded.
struct FileRecord {
  std::string path;
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;  // modification time, ns since the epoch
  std::string sha256;
  bool operator==(const FileRecord&) const = default;
};
// The file as it is now (stat and digest). Returns why it cannot be read.
Error observe_file(const std::string& path, FileRecord& file);

enum Input { kPrecursor = 0, kBins = 1, kMolarMasses = 2 };

// The row of one configuration. Absent optionals and NaNs are NULL.
struct ConfigurationRecord {
  Key key;
  int run = 0;  // its place in the run set of the batch that last ran it
  bool known_species = true;
  std::string state;  // the batch's state name: succeeded, kept, failed, ...
  std::optional<int> exit_status;
  std::string message;  // the first line of its message, or a note
  std::string results_path;
  std::string results_sha256;  // empty when there is no results file
  std::array<FileRecord, 3> inputs;  // indexed by Input; an absent one has an empty path
  double kp = 0.0;
  std::array<double, config::kBins> k{};
  std::array<double, config::kBins> wmol{};  // NaN when not fitted
  std::optional<int> undetermined;
  std::optional<int> misfit;
  std::optional<double> seconds;
  std::optional<int> records;  // records the inputs hold
  // The batch that fitted it; a configuration without a fit: the batch that
  // last ran it. Recording a kept result sets it to its fit's batch.
  std::int64_t batch = 0;
  // The replay of its fit (quality::replay): the largest error of the bins'
  // total over its peak and its RMS error over its mean, and the same of
  // the total weighted by the mean molar masses; NaN when not known.
  double replay_total_error = std::numeric_limits<double>::quiet_NaN();
  double replay_total_rms_error = std::numeric_limits<double>::quiet_NaN();
  double replay_mass_error = std::numeric_limits<double>::quiet_NaN();
  double replay_mass_rms_error = std::numeric_limits<double>::quiet_NaN();
  // The format its inputs were read in: "fixed" (the three files of vbsfit's
  // layout; also every row of a study before version 5), "csv" (the run in
  // inputs[kPrecursor], its molar masses' side file, if any, in
  // inputs[kMolarMasses]) or "netcdf" (the run in inputs[kPrecursor]); and
  // the NetCDF variables as mapped (--netcdf-variables), or empty.
  std::string input_format = "fixed";
  std::string input_variables;
  bool operator==(const ConfigurationRecord&) const = default;
};

struct CoefficientRow {
  int target_bin = 0;  // 1 ... 6
  std::string term;    // "VOC", "VB1" ... "VB6"
  double coefficient = 0.0;
  double lower = 0.0;
  double upper = 0.0;
  bool at_bound = false;
  double standard_error = 0.0;  // NaN where it has no meaning, +inf for a dependent column
  std::string flag;             // its verdict: "trusted", "undetermined", "misfit", "no effect"
  double ols_standard_error = 0.0;  // s^2 (A'A)^-1's, as standard_error
};

struct FitRow {
  int target_bin = 0;
  double rss = 0.0;
  double rms = 0.0;
  double r_squared = 0.0;
  double relative_residual = 0.0;
  double autocorrelation = 0.0;  // lag 1, of the bin's residuals
  bool misfit = false;
  double drift = std::numeric_limits<double>::quiet_NaN();         // of the residuals' sum
  double replay_error = std::numeric_limits<double>::quiet_NaN();  // the bin's, over its peak
  double replay_rms_error = std::numeric_limits<double>::quiet_NaN();  // over its mean
};

// How well a configuration's model fits in all (issue of choosing tags):
// filled by whoever compares tags; a fit alone leaves it absent.
struct ModelRow {
  double total_rss = 0.0;
  double aic = 0.0;
  int k = 0;  // coefficients strictly inside their bounds
  bool preferred = false;
};

// A configuration and everything recorded with it.
struct Stored {
  ConfigurationRecord record;
  std::vector<CoefficientRow> coefficients;  // by target bin, then term as given
  std::vector<FitRow> fits;                  // by target bin
  std::optional<ModelRow> model;
  // As read: the digest kept with the row, empty for a row recorded before
  // digests were (schema 1). Not written: recording computes it.
  std::string record_sha256;
  // As read: its current fit in history (0: none) and the batch that last
  // ran or checked it (whose limits its verdicts are judged under).
  std::int64_t fit = 0;
  std::int64_t ran_by = 0;
};

// One fit as history keeps it.
struct FitRecord {
  std::int64_t id = 0;
  Stored stored;  // the configuration as the fit recorded it (record.batch: the fitting batch)
  double se_limit = 0.0;  // the limits its verdicts were judged under
  double misfit_limit = 0.0;
  double replay_limit = std::numeric_limits<double>::quiet_NaN();  // NaN: not recorded
  std::optional<std::string> results;  // the results file's bytes; absent when not recorded
};

// What one batch did to one configuration.
struct LogRow {
  std::int64_t batch = 0;
  Key key;
  // "fitted", "kept", "stale", "failed", "interrupted", "forgotten", "merged"
  std::string action;
  std::int64_t fit = 0;  // the fit it pointed to after, 0: none
  bool operator==(const LogRow&) const = default;
};

// How a configuration's row comes to be recorded: `batch` the batch that
// records it (0: none, no log row), `action` its log row's word (empty: from
// the row's state), `new_fit` whether the row is a fit made now (otherwise
// it is matched to the fit of the same results file history holds, or
// becomes one when history has none), `results` the results file's bytes.
struct Recording {
  std::int64_t batch = 0;
  std::string action;
  bool new_fit = false;
  std::optional<std::string> results;
};
// The log word of a configuration state: succeeded is "fitted".
std::string action_of_state(const std::string& state);

// The SHA-256 (hex) of a configuration's record: its row but for the batch
// that ran it (a merge renumbers batches), its coefficients and its fits,
// each field with its length, doubles bit for bit (every NaN as one), the
// rows in an order of their own. The model row is not part of it: it is set
// after the record, when tags are compared.
std::string record_digest(const Stored& stored);

// The whole study, as of one commit.
struct Snapshot {
  std::vector<BatchRecord> batches;  // in the order they began
  std::vector<Stored> configurations;  // by run, then species, scenario, tag
  std::vector<FitRecord> history;    // by id (filled by read_history)
  std::vector<LogRow> log;           // by batch, then configuration (read_history)
};

// The time now, UTC, in ISO 8601 to the second ("2024-05-01T12:00:00Z").
std::string utc_timestamp();

// The arguments as a JSON array of strings, and back (false when `text` is
// not such an array). Bytes that are not UTF-8 are written as \udcXX, as
// Python's surrogateescape reads them, so every argument is kept exactly.
std::string json_arguments(const std::vector<std::string>& arguments);
bool parse_json_arguments(const std::string& text, std::vector<std::string>& arguments);

// True when `stored` still describes files as they are now and the fit
// they would be given: each input's path (which tells the layout), size,
// modification time and digest, the results file's digest, and KP and
// K(1...6), bit for bit, equal to `rates` (the batch's fast path: no refit
// needed). Constants other than those recorded make a fit the results file
// may not hold.
bool unchanged(const ConfigurationRecord& stored, const std::array<FileRecord, 3>& inputs,
               const std::string& results_sha256, const config::RateConstants& rates);
// True when the constants `stored` records are `rates`, bit for bit.
bool fitted_with(const ConfigurationRecord& stored, const config::RateConstants& rates);

struct MergeOptions;

class Study {
 public:
  Study() = default;
  Study(Study&& other) noexcept;
  Study& operator=(Study&& other) noexcept;
  Study(const Study&) = delete;
  Study& operator=(const Study&) = delete;
  ~Study();

  // Opens the study at `path`, creating it (and its directory) when there
  // is none. Refuses, and never writes to, a file that is not a study
  // database, one of a newer or unknown schema version, one whose tables
  // lack a column, or one that fails its integrity check; refuses a study
  // it could not write (a read-only disk, file or directory) unless
  // `read_only`, which opens an existing one for reading (merge's shares),
  // a study on a read-only disk too.
  static Error open(const std::string& path, Study& study, bool read_only = false);
  bool is_open() const { return db_ != nullptr; }
  const std::string& path() const { return path_; }

  // Records a batch as it begins (its species rows with it); `id` is its
  // number in this study.
  Error begin_batch(const BatchRecord& batch, std::int64_t& id);
  Error end_batch(std::int64_t id, const std::string& ended);

  // Replaces everything recorded of the configuration with these rows, in
  // one transaction. The model row, if any, goes with the old rows.
  // `before_commit`, when given, runs inside the transaction once the rows
  // are written: a test ends the process there.
  // Earlier fits stay in history; `recording` says which fit the row is
  // and logs it.
  Error record(const ConfigurationRecord& configuration,
               const std::vector<CoefficientRow>& coefficients, const std::vector<FitRow>& fits,
               const Recording& recording = {}, void (*before_commit)() = nullptr);
  // Sets (or with nullopt clears) the model row of a recorded configuration.
  Error set_model(const Key& key, const std::optional<ModelRow>& model);
  // Replaces every model row with `models` (of recorded configurations), in
  // one transaction.
  Error set_models(const std::vector<std::pair<Key, ModelRow>>& models);

  // The stored configuration, or nullopt in `found` when none is.
  Error find(const Key& key, std::optional<Stored>& found);
  // The whole study in one read transaction.
  Error read(Snapshot& snapshot);
  // The same study as read gives it, one configuration at a time, in one
  // read transaction: `batches` first, then `visit` with each configuration
  // and its rows in read's order (the one handed over is `visit`'s to
  // keep). Stops, with no error, when `visit` returns false. Holds one
  // configuration's rows at a time, whatever the study's size.
  Error read_each(std::vector<BatchRecord>& batches, const std::function<bool(Stored&)>& visit);
  // Every fit history holds (with its results file's bytes when
  // `with_results`) and the batch log, in one read transaction, into
  // `snapshot`'s history and log.
  Error read_history(Snapshot& snapshot, bool with_results = true);
  // How many configurations the study holds.
  Error count(std::size_t& configurations);
  // Removes these configurations and their rows (results files are not the
  // study's to remove); `removed` lists those that were there. `forgetting`
  // (a batch of kind forget, begun here) logs each as forgotten;
  // `with_history` removes their earlier fits too (their log rows stay).
  Error forget(const std::vector<Key>& keys, std::vector<Key>& removed,
               const BatchRecord* forgetting = nullptr, bool with_history = false);
  // SQLite's integrity and foreign-key checks; empty when both pass.
  Error integrity_check();

 private:
  friend Error merge(const std::vector<std::string>& shares, const std::string& into,
                     const MergeOptions& options, std::vector<std::string>* notes);
  // Replaces the whole study with `snapshot`, batch ids included.
  Error write_snapshot(const Snapshot& snapshot);
  int exec(const std::string& sql);
  Error failure(const std::string& what) const;
  template <typename Body> Error transaction(const std::string& what, Body body);
  // Opens path_ and reads its schema version and its count of tables and
  // indexes; a reader that cannot make the shared memory index of a study
  // on a read-only disk reads it as an immutable file.
  Error connect(bool read_only, int& version, int& objects);
  // The connection's pragmas: WAL and its syncing for a writer, foreign keys.
  Error set_up(bool read_only);
  Error create_tables();
  template <typename Body> Error read_transaction(Body body);
  Error insert_batch(const BatchRecord& batch, std::optional<std::int64_t> id);
  Error insert_species(std::int64_t batch, const std::vector<SpeciesRow>& rows);
  // `digest` is its record_sha256 (empty: NULL).
  Error insert_configuration(const Stored& stored, const std::string& digest);
  Error insert_model(const Key& key, const ModelRow& model);
  // Inserts a fit into history (with the given id, or a new one); its id
  // in `id`.
  // `with_rows`: its coefficients and fits too; without, they are the
  // configuration's own rows while it is current (keep_rows moves them).
  Error insert_fit(const FitRecord& fit, std::optional<std::int64_t> given, std::int64_t& id,
                   bool with_rows = true);
  // Before `current`'s rows are replaced by `next`'s (or removed: null),
  // history takes a copy of them for its fit, unless `next` is the same fit
  // with the same rows or history holds them already.
  Error keep_rows(const Stored& current, const Stored* next);
  Error insert_log(const LogRow& row);
  Error delete_configuration(const Key& key, int* removed);
  Error upgrade();
  sqlite3* db_ = nullptr;
  int version_ = kSchemaVersion;  // of the database as opened
  std::string path_;
};

struct MergeOptions {
  // Join shares that fitted one species with other constants (kp,
  // multipliers, layout, or a configuration's KP, K1..K6): each such
  // species is then named in `notes` instead of refused.
  bool allow_mixed_constants = false;
  // The merge's own row of batches (its program, command, host and start;
  // the run set and limits are the shares'), which logs each configuration
  // it joined as "merged"; none when null.
  const BatchRecord* merging = nullptr;
};

// Joins the shares' studies (each the study of one shard of one run set)
// into the study at `into`, which then holds exactly what they hold, in one
// transaction. A configuration in two shares with the same results digest
// is one row; different digests are a refusal naming both shares. Every
// share is checked first (schema version, integrity, that its rows are
// exactly the share of the run set its batches claim, that each row's
// record_sha256 is its record_digest, and that the shares fitted each
// species with the same constants), and nothing is written when one fails.
// Rows read without a digest (a share of version 3 or before) are joined
// without one.
// What the merge lets pass but the user should know goes to `notes`.
Error merge(const std::vector<std::string>& shares, const std::string& into,
            const MergeOptions& options = {}, std::vector<std::string>* notes = nullptr);

}  // namespace study
