// The study database's schema, and opening a study: the checks that a file
// is a study this program reads, whole, before anything is written to it,
// its creation, and the upgrade of a study of an earlier schema version.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "study/columns.hpp"
#include "study/database.hpp"
#include "study/statement.hpp"
#include "study/study.hpp"

namespace study {
namespace {

namespace fs = std::filesystem;

// A writer holds the database for one configuration's transaction (a few
// milliseconds); a reader or writer waiting longer than this has met
// something else than another batch's ordinary work.
constexpr int kBusyMilliseconds = 30000;

// The first 16 bytes of every SQLite database file.
constexpr char kSqliteHeader[] = "SQLite format 3";  // and its terminating zero

// Doubles have no declared type: a REAL column would store an integral
// value as an integer, and -0.0 would come back as 0.0. Each is still a
// REAL value (typeof() says 'real'); NaN is stored as NULL.
constexpr const char* kBaseSchema = R"sql(
CREATE TABLE batches (
  id INTEGER PRIMARY KEY,
  program_version TEXT NOT NULL,
  source_revision TEXT NOT NULL,          -- git revision, or '' when not built from a checkout
  command_line TEXT NOT NULL,             -- JSON array of the arguments
  working_directory TEXT NOT NULL,
  host TEXT NOT NULL,
  started TEXT NOT NULL,                  -- UTC, ISO 8601
  ended TEXT,                             -- NULL while it runs, or when it never ended
  run_set TEXT NOT NULL,                  -- fingerprint of the run set, 16 hex digits
  run_set_size INTEGER NOT NULL,
  shard TEXT NOT NULL,                    -- 'K/N'
  se_limit /* REAL */ NOT NULL,
  misfit_limit /* REAL */ NOT NULL,       -- the largest drift of a bin that fits (version 4:
                                          -- the largest autocorrelation of its residuals)
  replay_limit /* REAL */,                -- the replay error within which no bin is a misfit;
                                          -- NULL: not recorded (version 4)
  kind TEXT                               -- 'batch', 'merge', 'forget'; NULL (version 4): 'batch'
);
CREATE TABLE species_rows (
  batch INTEGER NOT NULL REFERENCES batches (id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  kp /* REAL */ NOT NULL,
  multiplier /* REAL */ NOT NULL,         -- of K(1...5)
  multiplier6 /* REAL */ NOT NULL,        -- of K(6)
  layout TEXT NOT NULL,                   -- 'standard' or 'ideal'
  source TEXT,                            -- 'built-in', 'file', 'file-replaces-built-in',
                                          -- 'default'; NULL: not recorded (version 2)
  PRIMARY KEY (batch, name)
);
CREATE TABLE configurations (
  species TEXT NOT NULL,
  scenario TEXT NOT NULL,
  tag TEXT NOT NULL,
  run INTEGER NOT NULL,                   -- place in the run set of its batch, from 1
  known_species INTEGER NOT NULL,         -- 1 when the species table has it
  state TEXT NOT NULL,
  exit_status INTEGER,
  message TEXT NOT NULL,
  results_path TEXT NOT NULL,
  results_sha256 TEXT,                    -- NULL when there is no results file
  precursor_path TEXT, precursor_size INTEGER, precursor_mtime_ns INTEGER, precursor_sha256 TEXT,
  bins_path TEXT, bins_size INTEGER, bins_mtime_ns INTEGER, bins_sha256 TEXT,
  molar_masses_path TEXT, molar_masses_size INTEGER, molar_masses_mtime_ns INTEGER,
  molar_masses_sha256 TEXT,
  kp /* REAL */,
  k1 /* REAL */, k2 /* REAL */, k3 /* REAL */, k4 /* REAL */, k5 /* REAL */, k6 /* REAL */,
  wmol1 /* REAL */, wmol2 /* REAL */, wmol3 /* REAL */, wmol4 /* REAL */, wmol5 /* REAL */,
  wmol6 /* REAL */,
  undetermined INTEGER,
  misfit INTEGER,
  seconds /* REAL */,
  records INTEGER,
  batch INTEGER NOT NULL REFERENCES batches (id),  -- the batch that fitted it
  record_sha256 TEXT,                     -- record_digest of the row and its rows; NULL: unhashed
  replay_total_error /* REAL */,          -- the replay of the fit: the bins' total's largest
  replay_total_rms_error /* REAL */,      -- error over its peak, RMS error over its mean,
  replay_mass_error /* REAL */,           -- and the same of the total weighted by the mean
  replay_mass_rms_error /* REAL */,       -- molar masses; NULL: not known
  input_format TEXT,                      -- 'fixed', 'csv', 'netcdf'; NULL: 'fixed' (before version 5)
  input_variables TEXT,                   -- the NetCDF variables mapped, 'time=t,...'; NULL: none
  fit INTEGER,                            -- its current fit: an id of history; NULL: none
  ran_by INTEGER,                         -- the batch that last ran or checked it
  PRIMARY KEY (species, scenario, tag)
);
CREATE TABLE coefficients (
  species TEXT NOT NULL,
  scenario TEXT NOT NULL,
  tag TEXT NOT NULL,
  target_bin INTEGER NOT NULL,            -- 1 ... 6
  term TEXT NOT NULL,                     -- 'VOC', 'VB1' ... 'VB6'
  coefficient /* REAL */,
  lower /* REAL */,
  upper /* REAL */,
  at_bound INTEGER NOT NULL,
  standard_error /* REAL */,              -- NULL where it has no meaning
  flag TEXT NOT NULL,                     -- the verdict: 'trusted', 'undetermined', 'misfit',
                                          -- 'no effect' (version 3: 'determined', 'undetermined',
                                          -- 'no effect', until the upgraded record is refitted)
  ols_standard_error /* REAL */,          -- s^2 (A'A)^-1's; NULL where it has no meaning
  PRIMARY KEY (species, scenario, tag, target_bin, term),
  FOREIGN KEY (species, scenario, tag) REFERENCES configurations ON DELETE CASCADE
) WITHOUT ROWID;  -- the key is the row: no second copy of it in an index
CREATE TABLE fits (
  species TEXT NOT NULL,
  scenario TEXT NOT NULL,
  tag TEXT NOT NULL,
  target_bin INTEGER NOT NULL,
  rss /* REAL */,
  rms /* REAL */,
  r_squared /* REAL */,
  relative_residual /* REAL */,
  autocorrelation /* REAL */,             -- lag 1, of the bin's residuals
  misfit INTEGER NOT NULL,
  drift /* REAL */,                       -- lag 1, of the residuals' running sum
  replay_error /* REAL */,                -- the replayed bin's largest error over its peak
  replay_rms_error /* REAL */,            -- and its RMS error over its mean
  PRIMARY KEY (species, scenario, tag, target_bin),
  FOREIGN KEY (species, scenario, tag) REFERENCES configurations ON DELETE CASCADE
) WITHOUT ROWID;
CREATE TABLE models (
  species TEXT NOT NULL,
  scenario TEXT NOT NULL,
  tag TEXT NOT NULL,
  total_rss /* REAL */,
  aic /* REAL */,
  k INTEGER NOT NULL,                     -- coefficients strictly inside their bounds
  preferred INTEGER NOT NULL,
  PRIMARY KEY (species, scenario, tag),
  FOREIGN KEY (species, scenario, tag) REFERENCES configurations ON DELETE CASCADE
);
)sql";

// The history of fits: its tables' columns are those of configurations,
// coefficients and fits (study/columns.hpp), so that a column added there is
// kept in every fit too. Untyped, as the doubles above.
template <typename Row, std::size_t N>
std::string untyped(const std::array<Column<Row>, N>& columns) {
  std::string list;
  for (const Column<Row>& c : columns) list += ",\n  " + std::string(c.name);
  return list;
}

const std::string& history_schema() {
  static const std::string sql =
      "CREATE TABLE history (\n  id INTEGER PRIMARY KEY" + untyped(kHistoryColumns) +
      ",\n  record_sha256,\n  se_limit,\n  misfit_limit,\n  replay_limit,\n  results BLOB\n);\n"
      "CREATE INDEX history_of_configuration ON history (species, scenario, tag);\n"
      "CREATE TABLE history_coefficients (\n"
      "  fit INTEGER NOT NULL REFERENCES history (id) ON DELETE CASCADE" +
      untyped(kCoefficientColumns) + ",\n  PRIMARY KEY (fit, target_bin, term)\n) WITHOUT ROWID;\n"
      "CREATE TABLE history_fits (\n"
      "  fit INTEGER NOT NULL REFERENCES history (id) ON DELETE CASCADE" +
      untyped(kFitColumns) + ",\n  PRIMARY KEY (fit, target_bin)\n) WITHOUT ROWID;\n"
      "CREATE TABLE batch_log (\n"
      "  batch INTEGER NOT NULL REFERENCES batches (id),\n"
      "  species TEXT NOT NULL,\n  scenario TEXT NOT NULL,\n  tag TEXT NOT NULL,\n"
      "  action TEXT NOT NULL,\n"
      "  fit INTEGER REFERENCES history (id) ON DELETE SET NULL,\n"
      "  PRIMARY KEY (batch, species, scenario, tag)\n) WITHOUT ROWID;\n";
  return sql;
}

const std::string& schema_sql() {
  static const std::string sql = kBaseSchema + history_schema();
  return sql;
}

constexpr const char* kTables[] = {"batches", "species_rows", "configurations", "coefficients",
                                   "fits", "models", "history", "history_coefficients",
                                   "history_fits", "batch_log"};

// The tables that came with a later schema version.
bool table_added_after(const std::string& table, int version) {
  return version < 5 && (table == "history" || table == "history_coefficients" ||
                         table == "history_fits" || table == "batch_log");
}

std::string not_a_study(const std::string& path, const std::string& why) {
  return path + " is not a study database (" + why + "); move it away or give another --report";
}

// The system's words for `error`, to go on in a sentence.
std::string error_text(int error) {
  std::string text = std::strerror(error);
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') {
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  }
  return text;
}

// What the file at `path` is, when it is there: empty when SQLite may open
// it, otherwise why it is not a study database. Reads at most 16 bytes.
std::string check_file(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return {};
  if (S_ISDIR(info.st_mode)) return not_a_study(path, "it is a directory");
  if (!S_ISREG(info.st_mode)) return not_a_study(path, "it is not a regular file");
  if (info.st_size == 0) return {};  // SQLite's empty database, as a crash at creation leaves it
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return "cannot read the study database " + path + ": " + error_text(errno) +
           "; it is left as it is";
  }
  char header[sizeof kSqliteHeader] = {};
  const ssize_t got = ::read(fd, header, sizeof header);
  ::close(fd);
  if (got != static_cast<ssize_t>(sizeof header) ||
      std::memcmp(header, kSqliteHeader, sizeof header) != 0) {
    return not_a_study(path, "not an SQLite database");
  }
  return {};
}

// What SQLite says of the last failure on `db`, as a message may quote it:
// a damaged file's bytes can reach it (a malformed schema's names).
// The failure of a first read of the study at `path`: a refusal of a file
// that is not a study only when SQLite finds no database there or a damaged
// one; anything else (a lock held too long, a read error) says nothing of
// the file.
Error read_failure(sqlite3* db, const std::string& path) {
  const int code = sqlite3_extended_errcode(db) & 0xff;
  if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT) {
    return refusal(not_a_study(path, sqlite_says(db)));
  }
  return {"cannot read the study database " + path + ": " + sqlite_says(db)};
}

// Why the study at `path` cannot be written, as the whole message, or empty
// when it (or, when there is none yet, its directory) can: a study on a
// read-only disk or of read-only files is a valid study still, and only the
// place is wrong.
std::string unwritable(const std::string& path) {
  const std::string directory = fs::path(path).parent_path().string();
  for (const std::string& file : {path, directory.empty() ? std::string(".") : directory}) {
    if (::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) == 0 || errno == ENOENT) continue;
    const int error = errno;
    std::string why = error_text(error);
    if (file != path) why = "its directory " + file + ": " + why;
    return "cannot write the study database " + path + ": " + why + "; it is left as it is: " +
           (error == EROFS ? "give a --report on a writable disk"
                           : "make it writable, or give a --report you can write");
  }
  return {};
}

// `path` as an SQLite URI that opens the file read-only and immutable.
std::string immutable_uri(const std::string& path) {
  std::string uri = "file:";
  for (unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#' || c < 0x20 || c >= 0x7f) {
      static const char kHex[] = "0123456789abcdef";
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 0xf];
    } else {
      uri += static_cast<char>(c);
    }
  }
  return uri + "?mode=ro&immutable=1";
}

// Whether a reader of the study at `path`, which failed for want of
// writing, may read it as an immutable file: only when its directory
// cannot be written (so no writer can be at work on it, and the shared
// memory index a reader makes cannot be made) and no write-ahead log holds
// commits that reading the file alone would miss.
bool immutable_reading_fits(const std::string& path, int failure) {
  const int code = failure & 0xff;
  if (code != SQLITE_READONLY && code != SQLITE_CANTOPEN) return false;
  const std::string directory = fs::path(path).parent_path().string();
  if (::faccessat(AT_FDCWD, directory.empty() ? "." : directory.c_str(), W_OK, AT_EACCESS) == 0) {
    return false;
  }
  struct stat wal;
  return ::stat((path + "-wal").c_str(), &wal) != 0 || wal.st_size == 0;
}

// The schema versions this program reads: its own, and 1 to 4, which a writer
// upgrades (0 is a database with nothing in it yet).
bool known_version(int version) { return version >= 1 && version <= kSchemaVersion; }

// The columns that came with a later schema version: a study of an earlier
// one lacks them until it is upgraded.
struct AddedColumn {
  const char* table;
  const char* column;
  int version;
};
constexpr AddedColumn kAddedColumns[] = {{"configurations", "record_sha256", 2},
                                         {"species_rows", "source", 3},
                                         {"coefficients", "ols_standard_error", 4},
                                         {"batches", "replay_limit", 5},
                                         {"configurations", "replay_total_error", 5},
                                         {"configurations", "replay_total_rms_error", 5},
                                         {"configurations", "replay_mass_error", 5},
                                         {"configurations", "replay_mass_rms_error", 5},
                                         {"fits", "drift", 5},
                                         {"fits", "replay_error", 5},
                                         {"fits", "replay_rms_error", 5},
                                         {"configurations", "input_format", 5},
                                         {"configurations", "input_variables", 5},
                                         {"batches", "kind", 5},
                                         {"configurations", "fit", 5},
                                         {"configurations", "ran_by", 5}};

}  // namespace

bool added_after(std::string_view table, std::string_view column, int version) {
  for (const AddedColumn& added : kAddedColumns) {
    if (table == added.table && column == added.column && version < added.version) return true;
  }
  return false;
}

namespace {

// Why a database of schema `version` holding `objects` tables and indexes
// is not a study this program may read, or empty.
Error check_version(const std::string& path, int version, int objects, bool read_only) {
  if (version > kSchemaVersion) {
    return refusal(path + " was written by a newer vbsfit-batch (schema " +
                   std::to_string(version) + "); this one reads up to " +
                   std::to_string(kSchemaVersion));
  }
  if (version == 0 && objects > 0) {
    return refusal(not_a_study(path, "an SQLite database of other tables"));
  }
  if (version == 0 && read_only) return refusal(not_a_study(path, "an empty database"));
  if (version != 0 && !known_version(version)) {
    return refusal(path + " has the schema version " + std::to_string(version) +
                   ", which no vbsfit-batch writes; it is left as it is: restore it from a "
                   "copy, or give another --report");
  }
  return {};
}

// Each table's columns, in order, as the schema makes them: read once from
// the schema made in memory, so that the columns are written once, there.
const std::map<std::string, std::vector<std::string>>& schema_columns() {
  static const std::map<std::string, std::vector<std::string>> columns = [] {
    std::map<std::string, std::vector<std::string>> made;
    sqlite3* db = nullptr;
    if (sqlite3_open(":memory:", &db) == SQLITE_OK &&
        sqlite3_exec(db, schema_sql().c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) {
      for (const char* table : kTables) {
        Statement query(db, "SELECT name FROM pragma_table_info(?1) ORDER BY cid");
        query.bind(1, table);
        while (query.row()) made[table].push_back(query.text(0));
      }
    }
    sqlite3_close(db);
    return made;
  }();
  return columns;
}

// Why the study's tables are not the schema's, or empty: every table there,
// with every column (a table or column dropped would fail a batch only
// after it had begun writing).
Error check_tables(sqlite3* db, const std::string& path, int version) {
  for (const auto& [table, expected] : schema_columns()) {
    std::set<std::string> present;
    Statement query(db, "SELECT name FROM pragma_table_info(?1)");
    query.bind(1, table);
    while (query.row()) present.insert(query.text(0));
    if (!query.done()) return refusal(not_a_study(path, sqlite_says(db)));
    if (present.empty() && table_added_after(table, version)) continue;
    if (present.empty()) return refusal(not_a_study(path, "it has no table " + table));
    for (const std::string& column : expected) {
      if (present.count(column) != 0 || added_after(table, column, version)) continue;
      return refusal(path + " is a damaged study: its table " + table + " has no column " +
                     column + "; it is left as it is: restore it from a copy, or give another "
                     "--report");
    }
  }
  return {};
}

// Refuses a path where no study can be read (or, unless `read_only`,
// written), and makes the directory of a new one.
Error prepare_place(const std::string& path, bool read_only) {
  if (std::string why = check_file(path); !why.empty()) return refusal(why);
  std::error_code ec;
  const bool exists = fs::exists(path, ec);
  if (read_only && !exists) return refusal("there is no study database " + path);
  if (!exists) {
    const fs::path directory = fs::path(path).parent_path();
    if (!directory.empty()) fs::create_directories(directory, ec);
    if (ec) return {"cannot create the directory " + directory.string() + ": " + ec.message()};
  }
  if (!read_only) {
    if (std::string why = unwritable(path); !why.empty()) return refusal(why);
  }
  return {};
}

}  // namespace

Error Study::open(const std::string& path, Study& study, bool read_only) {
  if (Error e = prepare_place(path, read_only)) return e;
  Study opened;
  opened.path_ = path;
  int version = 0, objects = 0;
  if (Error e = opened.connect(read_only, version, objects)) return e;

  // Nothing is written until the file has shown itself to be a study of a
  // version this program reads, whole, or an empty database.
  if (Error e = check_version(path, version, objects, read_only)) return e;
  opened.version_ = version == 0 ? kSchemaVersion : version;
  if (version != 0) {
    if (Error e = check_tables(opened.db_, path, version)) return e;
  }
  if (Error failed = opened.integrity_check()) return failed;
  if (Error failed = opened.set_up(read_only)) return failed;
  if (version != 0 && version < kSchemaVersion && !read_only) {
    if (Error failed = opened.upgrade()) return failed;
  }
  if (version == 0 && !read_only) {
    if (Error failed = opened.create_tables()) return failed;
  }
  study = std::move(opened);
  return {};
}

Error Study::set_up(bool read_only) {
  if (!read_only) {
    // A new database is created in WAL mode in one transaction, so that a
    // second process creating it at the same moment finds it whole.
    if (exec("PRAGMA journal_mode = WAL") != SQLITE_OK) return failure("set up");
  }
  if (exec("PRAGMA foreign_keys = ON") != SQLITE_OK) return failure("set up");
  // In WAL mode NORMAL syncs at checkpoints, not at every commit (a commit
  // then costs no fsync, which would dominate a batch that keeps a thousand
  // configurations): a killed process loses no commit, and a power cut at
  // worst the last few, never the database's consistency.
  if (!read_only && exec("PRAGMA synchronous = NORMAL") != SQLITE_OK) return failure("set up");
  return {};
}

// Creates the tables, unless a second process creating the study at the
// same moment has just done so.
Error Study::create_tables() {
  if (exec("BEGIN IMMEDIATE") != SQLITE_OK) return failure("create");
  Statement query(db_, "PRAGMA user_version");
  const bool fresh = query.row() && query.integer(0) == 0;
  query.reset();
  if (fresh && (exec(schema_sql()) != SQLITE_OK ||
                exec("PRAGMA user_version = " + std::to_string(kSchemaVersion)) != SQLITE_OK)) {
    Error failed = failure("create the tables of");
    exec("ROLLBACK");
    return failed;
  }
  if (exec("COMMIT") != SQLITE_OK) return failure("create");
  return {};
}

// A study of version 4 (or before, once brought to 4) to version 5: the
// history tables made, and each configuration with a results file and
// coefficients given its current numbers as its first fit, under its
// batch's limits, its results file's bytes not known yet (its rows stay the
// configuration's until they change: Study::keep_rows); then the log of
// what each configuration's batch did to it, and every configuration's
// fit and ran_by.
static std::vector<std::string> history_steps() {
  const std::string configuration = column_list<ConfigurationRecord>({}, kHistoryColumns);
  std::string prefixed;  // c.species, c.scenario, ...
  for (const Column<ConfigurationRecord>& c : kHistoryColumns) {
    prefixed += (prefixed.empty() ? "c." : ", c.") + std::string(c.name);
  }
  std::vector<std::string> steps = {
      history_schema(),
      "INSERT INTO history (" + configuration +
          ", record_sha256, se_limit, misfit_limit, replay_limit, results) SELECT " +
          prefixed +
          ", c.record_sha256, b.se_limit, b.misfit_limit, b.replay_limit, NULL FROM "
          "configurations c JOIN "
          "batches b ON b.id = c.batch WHERE c.results_sha256 IS NOT NULL AND EXISTS (SELECT 1 "
          "FROM coefficients k WHERE k.species = c.species AND k.scenario = c.scenario AND "
          "k.tag = c.tag) ORDER BY c.run, c.species, c.scenario, c.tag",
      "UPDATE configurations SET ran_by = batch, fit = (SELECT h.id FROM history h WHERE "
      "h.species = configurations.species AND h.scenario = configurations.scenario AND "
      "h.tag = configurations.tag)",
      "INSERT INTO batch_log (batch, species, scenario, tag, action, fit) SELECT batch, "
      "species, scenario, tag, CASE state WHEN 'succeeded' THEN 'fitted' ELSE state END, fit "
      "FROM configurations"};
  return steps;
}

// Brings a study of an earlier version to this one, in one transaction (a
// second writer opening it at the same moment finds it upgraded and leaves
// it): the columns of later versions added (a species row's source left
// NULL, not recorded), each ols_standard_error the row's standard_error
// (the earlier standard error is of that kind), and, for a study before
// version 4, every record unhashed: its standard errors and flags are of
// the earlier kind, so the next batch over it refits it from its results
// file and records the figures anew. Before version 5, each configuration's
// current numbers become its first fit (see history_steps).
Error Study::upgrade() {
  return transaction("upgrade", [&]() -> Error {
    int version = 0;
    {
      Statement query(db_, "PRAGMA user_version");
      if (!query.row()) return failure("upgrade");
      version = query.integer(0);
    }
    if (version == kSchemaVersion) return {};
    std::vector<std::string> steps;
    if (version < 2) steps.push_back("ALTER TABLE configurations ADD COLUMN record_sha256 TEXT");
    if (version < 3) steps.push_back("ALTER TABLE species_rows ADD COLUMN source TEXT");
    if (version < 4) {
      steps.push_back("ALTER TABLE coefficients ADD COLUMN ols_standard_error");
      steps.push_back("UPDATE coefficients SET ols_standard_error = standard_error");
      steps.push_back("UPDATE configurations SET record_sha256 = NULL");
    }
    // The columns of version 5; one already there (a study made from a
    // later one by hand) is kept as it is.
    std::set<std::string> present;
    for (const char* table : {"batches", "configurations", "fits"}) {
      Statement columns(db_, std::string("SELECT name FROM pragma_table_info('") + table + "')");
      while (columns.row()) present.insert(std::string(table) + "." + columns.text(0));
      if (!columns.done()) return failure("upgrade");
    }
    for (const AddedColumn& added : kAddedColumns) {
      if (added.version == 5 &&
          present.count(std::string(added.table) + "." + added.column) == 0) {
        steps.push_back(std::string("ALTER TABLE ") + added.table + " ADD COLUMN " + added.column);
      }
    }
    steps.push_back("UPDATE configurations SET record_sha256 = NULL");
    if (version < 5) {
      for (std::string& step : history_steps()) steps.push_back(std::move(step));
    }
    steps.push_back("PRAGMA user_version = " + std::to_string(kSchemaVersion));
    for (const std::string& step : steps) {
      if (exec(step) != SQLITE_OK) return failure("upgrade");
    }
    version_ = kSchemaVersion;
    return {};
  });
}

Error Study::connect(bool read_only, int& version, int& objects) {
  const int flags = read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  if (sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    return {"cannot open " + path_ + ": " + (db_ ? sqlite_says(db_) : "out of memory")};
  }
  sqlite3_busy_timeout(db_, kBusyMilliseconds);
  sqlite3_extended_result_codes(db_, 1);
  for (bool immutable = false;; immutable = true) {
    {
      Statement query(db_, "PRAGMA user_version");
      if (query.row()) {
        version = query.integer(0);
        break;
      }
    }
    if (!read_only || immutable || !immutable_reading_fits(path_, sqlite3_extended_errcode(db_))) {
      return read_failure(db_, path_);
    }
    // A study on a read-only disk: read as the file it is.
    sqlite3_close(db_);
    db_ = nullptr;
    const std::string uri = immutable_uri(path_);
    if (sqlite3_open_v2(uri.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) !=
        SQLITE_OK) {
      return {"cannot open " + path_ + ": " + (db_ ? sqlite_says(db_) : "out of memory")};
    }
    sqlite3_extended_result_codes(db_, 1);
  }
  Statement query(db_, "SELECT count(*) FROM sqlite_schema");
  if (!query.row()) return read_failure(db_, path_);
  objects = query.integer(0);
  return {};
}

Error Study::integrity_check() {
  std::string problems;
  {
    Statement check(db_, "PRAGMA integrity_check");
    while (check.row()) {
      const std::string line = check.text(0);
      if (line != "ok") problems += (problems.empty() ? "" : "; ") + line;
    }
    if (!check.done()) problems = sqlite3_errmsg(db_);
  }
  if (problems.empty()) {
    Statement check(db_, "PRAGMA foreign_key_check");
    if (check.row()) {
      problems = "a row of " + check.text(0) + " refers to a row of " + check.text(2) +
                 " that is not there";
    } else if (!check.done()) {
      problems = sqlite3_errmsg(db_);
    }
  }
  if (problems.empty()) return {};
  if (problems.size() > 200) problems = problems.substr(0, 200) + " ...";
  return refusal(path_ + " fails SQLite's integrity check (" + config::printable(problems) +
                 "); it is left as it is: restore it from a copy, or move it away and give "
                 "another --report");
}

}  // namespace study
