#include "study/study.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "config/formats.hpp"
#include "study/sha256.hpp"
#include "study/statement.hpp"

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
constexpr const char* kSchema = R"sql(
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
  misfit_limit /* REAL */ NOT NULL
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
  batch INTEGER NOT NULL REFERENCES batches (id),
  record_sha256 TEXT,                     -- record_digest of the row and its rows; NULL: unhashed
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
  flag TEXT NOT NULL,                     -- 'determined', 'undetermined', 'no effect'
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

constexpr const char* kTables[] = {"batches", "species_rows", "configurations",
                                   "coefficients", "fits", "models"};

// The input files' column prefixes, in Input order.
constexpr const char* kInputColumns[] = {"precursor", "bins", "molar_masses"};

Error refusal(std::string message) { return {std::move(message), true}; }

std::string not_a_study(const std::string& path, const std::string& why) {
  return path + " is not a study database (" + why + "); move it away or give another --report";
}

std::string shard_text(int index, int count) {
  return std::to_string(index) + "/" + std::to_string(count);
}

bool parse_shard_text(const std::string& text, int& index, int& count) {
  char end = 0;
  return std::sscanf(text.c_str(), "%d/%d%c", &index, &count, &end) == 2 && index >= 1 &&
         index <= count;
}

std::string fingerprint_text(std::uint64_t fingerprint) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(fingerprint));
  return text;
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
std::string sqlite_says(sqlite3* db) { return config::printable(sqlite3_errmsg(db)); }

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

// The schema versions this program reads: its own, and the earlier ones,
// which a writer upgrades (0 is a database with nothing in it yet).
bool known_version(int version) { return version >= 1 && version <= kSchemaVersion; }

// The columns that came with a later schema version: a study of an earlier
// one lacks them until it is upgraded.
struct AddedColumn {
  const char* table;
  const char* column;
  int version;
};
constexpr AddedColumn kAddedColumns[] = {{"configurations", "record_sha256", 2},
                                         {"species_rows", "source", 3}};

bool added_after(const std::string& table, const std::string& column, int version) {
  for (const AddedColumn& added : kAddedColumns) {
    if (table == added.table && column == added.column && version < added.version) return true;
  }
  return false;
}

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
        sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK) {
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

// Reads the configuration `key`, or every one when it is null, by run,
// then species, scenario and tag, each with its rows, and hands each to
// `visit` in turn (only one is held at a time); stops when `visit` returns
// false.
Error read_configurations(sqlite3* db, bool hashed, const Key* key,
                          const std::function<bool(Stored&)>& visit);

}  // namespace

std::string display_name(const Key& key) {
  return key.species + "/" + key.scenario + "/" + key.tag;
}

std::string utc_timestamp() { return config::utc_time(std::time(nullptr)); }

Error observe_file(const std::string& path, FileRecord& file) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return {"cannot read " + path + ": " + std::strerror(errno)};
  FileRecord observed;
  observed.path = path;
  observed.size = info.st_size;
  observed.mtime_ns = std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  if (std::string why = sha256_file(path, observed.sha256); !why.empty()) return {why};
  file = std::move(observed);
  return {};
}

bool unchanged(const ConfigurationRecord& stored, const std::array<FileRecord, 3>& inputs,
               const std::string& results_sha256, const config::RateConstants& rates) {
  return !stored.results_sha256.empty() && stored.results_sha256 == results_sha256 &&
         stored.inputs == inputs && fitted_with(stored, rates);
}

bool fitted_with(const ConfigurationRecord& stored, const config::RateConstants& rates) {
  const auto same = [](double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
  };
  return same(stored.kp, rates.kp) &&
         std::equal(stored.k.begin(), stored.k.end(), rates.k.begin(), same);
}

Study::Study(Study&& other) noexcept
    : db_(other.db_), version_(other.version_), path_(std::move(other.path_)) {
  other.db_ = nullptr;
}

Study& Study::operator=(Study&& other) noexcept {
  if (this != &other) {
    if (db_) sqlite3_close(db_);
    db_ = other.db_;
    path_ = std::move(other.path_);
    version_ = other.version_;
    other.db_ = nullptr;
  }
  return *this;
}

Study::~Study() {
  if (db_) sqlite3_close(db_);
}

Error Study::open(const std::string& path, Study& study, bool read_only) {
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
  Study opened;
  opened.path_ = path;
  int version = 0, objects = 0;
  if (Error e = opened.connect(read_only, version, objects)) return e;
  sqlite3* db = opened.db_;

  // Nothing is written until the file has shown itself to be a study of a
  // version this program reads, whole, or an empty database.
  if (Error e = check_version(path, version, objects, read_only)) return e;
  opened.version_ = version == 0 ? kSchemaVersion : version;
  if (version != 0) {
    if (Error e = check_tables(db, path, version)) return e;
  }
  if (Error failed = opened.integrity_check()) return failed;
  if (!read_only) {
    // A new database is created in WAL mode in one transaction, so that a
    // second process creating it at the same moment finds it whole.
    if (opened.exec("PRAGMA journal_mode = WAL") != SQLITE_OK) return opened.failure("set up");
  }
  if (opened.exec("PRAGMA foreign_keys = ON") != SQLITE_OK) return opened.failure("set up");
  // In WAL mode NORMAL syncs at checkpoints, not at every commit (a commit
  // then costs no fsync, which would dominate a batch that keeps a thousand
  // configurations): a killed process loses no commit, and a power cut at
  // worst the last few, never the database's consistency.
  if (!read_only && opened.exec("PRAGMA synchronous = NORMAL") != SQLITE_OK) {
    return opened.failure("set up");
  }
  if (version != 0 && version < kSchemaVersion && !read_only) {
    if (Error failed = opened.upgrade()) return failed;
  }
  if (version == 0 && !read_only) {
    if (opened.exec("BEGIN IMMEDIATE") != SQLITE_OK) return opened.failure("create");
    Statement query(db, "PRAGMA user_version");
    const bool fresh = query.row() && query.integer(0) == 0;
    query.reset();
    if (fresh && (opened.exec(kSchema) != SQLITE_OK ||
                  opened.exec("PRAGMA user_version = " + std::to_string(kSchemaVersion)) !=
                      SQLITE_OK)) {
      Error failed = opened.failure("create the tables of");
      opened.exec("ROLLBACK");
      return failed;
    }
    if (opened.exec("COMMIT") != SQLITE_OK) return opened.failure("create");
  }
  study = std::move(opened);
  return {};
}

// Brings a study of an earlier version to this one, in one transaction (a
// second writer opening it at the same moment finds it upgraded and leaves
// it): version 1 gains record_sha256, filled with each row's digest, and
// version 2 the species rows' source, left NULL (not recorded).
Error Study::upgrade() {
  return transaction("upgrade", [&]() -> Error {
    int version = 0;
    {
      Statement query(db_, "PRAGMA user_version");
      if (!query.row()) return failure("upgrade");
      version = static_cast<int>(query.integer(0));
    }
    if (version == kSchemaVersion) return {};
    if (version < 3 && exec("ALTER TABLE species_rows ADD COLUMN source TEXT") != SQLITE_OK) {
      return failure("upgrade");
    }
    if (version >= 2) {
      if (exec("PRAGMA user_version = " + std::to_string(kSchemaVersion)) != SQLITE_OK) {
        return failure("upgrade");
      }
      version_ = kSchemaVersion;
      return {};
    }
    if (exec("ALTER TABLE configurations ADD COLUMN record_sha256 TEXT") != SQLITE_OK) {
      return failure("upgrade");
    }
    std::vector<std::pair<Key, std::string>> digests;
    if (Error e = read_configurations(db_, false, nullptr, [&](Stored& stored) {
          digests.emplace_back(stored.record.key, record_digest(stored));
          return true;
        })) {
      return e.message.empty() ? failure("upgrade") : e;
    }
    Statement update(db_, "UPDATE configurations SET record_sha256 = ?4 "
                          "WHERE species = ?1 AND scenario = ?2 AND tag = ?3");
    for (const auto& [key, digest] : digests) {
      update.bind_key(key);
      update.bind(4, digest);
      if (!update.done()) return failure("upgrade");
      update.reset();
    }
    if (exec("PRAGMA user_version = " + std::to_string(kSchemaVersion)) != SQLITE_OK) {
      return failure("upgrade");
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

int Study::exec(const std::string& sql) {
  return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
}

Error Study::failure(const std::string& what) const {
  return {"cannot " + what + " " + path_ + ": " + sqlite_says(db_)};
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

// Runs `body` in a write transaction, committed when it returns no error
// and rolled back otherwise.
template <typename Body>
Error Study::transaction(const std::string& what, Body body) {
  if (exec("BEGIN IMMEDIATE") != SQLITE_OK) return failure(what);
  Error error = body();
  if (!error && exec("COMMIT") != SQLITE_OK) error = failure(what);
  if (error) exec("ROLLBACK");
  return error;
}

Error Study::begin_batch(const BatchRecord& batch, std::int64_t& id) {
  return transaction("record the batch in", [&]() -> Error {
    if (Error e = insert_batch(batch, std::nullopt)) return e;
    id = sqlite3_last_insert_rowid(db_);
    return insert_species(id, batch.species);
  });
}

Error Study::insert_batch(const BatchRecord& batch, std::optional<std::int64_t> id) {
  Statement insert(db_,
                   "INSERT INTO batches (id, program_version, source_revision, command_line, "
                   "working_directory, host, started, ended, run_set, run_set_size, shard, "
                   "se_limit, misfit_limit) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, "
                   "?11, ?12, ?13)");
  if (id) insert.bind(1, *id);
  insert.bind(2, batch.program_version);
  insert.bind(3, batch.source_revision);
  insert.bind(4, json_arguments(batch.command_line));
  insert.bind(5, batch.working_directory);
  insert.bind(6, batch.host);
  insert.bind(7, batch.started);
  if (!batch.ended.empty()) insert.bind(8, batch.ended);
  insert.bind(9, fingerprint_text(batch.fingerprint));
  insert.bind(10, std::int64_t{batch.run_set_size});
  insert.bind(11, shard_text(batch.shard_index, batch.shard_count));
  insert.bind(12, batch.se_limit);
  insert.bind(13, batch.misfit_limit);
  if (!insert.done()) return failure("record the batch in");
  return {};
}

Error Study::insert_species(std::int64_t batch, const std::vector<SpeciesRow>& rows) {
  Statement insert(db_,
                   "INSERT INTO species_rows (batch, name, kp, multiplier, multiplier6, layout, "
                   "source) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  for (const SpeciesRow& row : rows) {
    insert.bind(1, batch);
    insert.bind(2, row.name);
    insert.bind(3, row.kp);
    insert.bind(4, row.multiplier);
    insert.bind(5, row.multiplier6);
    insert.bind(6, row.layout);
    if (row.source.empty()) {
      insert.bind_null(7);
    } else {
      insert.bind(7, row.source);
    }
    if (!insert.done()) return failure("record the species table of a batch in");
    insert.reset();
  }
  return {};
}

Error Study::end_batch(std::int64_t id, const std::string& ended) {
  return transaction("record the end of the batch in", [&]() -> Error {
    Statement update(db_, "UPDATE batches SET ended = ?2 WHERE id = ?1");
    update.bind(1, id);
    update.bind(2, ended);
    if (!update.done()) return failure("record the end of the batch in");
    if (sqlite3_changes(db_) != 1) return {path_ + " holds no batch " + std::to_string(id)};
    return {};
  });
}

Error Study::delete_configuration(const Key& key, int* removed) {
  // Children first: the rows go whether or not foreign keys are enforced.
  for (const char* table : {"coefficients", "fits", "models", "configurations"}) {
    Statement remove(db_, std::string("DELETE FROM ") + table +
                              " WHERE species = ?1 AND scenario = ?2 AND tag = ?3");
    remove.bind(1, key.species);
    remove.bind(2, key.scenario);
    remove.bind(3, key.tag);
    if (!remove.done()) return failure("remove " + display_name(key) + " from");
    if (removed && std::string_view(table) == "configurations") *removed += sqlite3_changes(db_);
  }
  return {};
}

Error Study::insert_configuration(const Stored& stored, const std::string& digest) {
  const ConfigurationRecord& c = stored.record;
  std::string columns = "species, scenario, tag, run, known_species, state, exit_status, message, "
                        "results_path, results_sha256";
  for (const char* input : kInputColumns) {
    for (const char* field : {"_path", "_size", "_mtime_ns", "_sha256"}) {
      columns += std::string(", ") + input + field;
    }
  }
  columns += ", kp, k1, k2, k3, k4, k5, k6, wmol1, wmol2, wmol3, wmol4, wmol5, wmol6, "
             "undetermined, misfit, seconds, records, batch, record_sha256";
  constexpr int kColumns = 10 + 12 + 13 + 6;
  std::string values;
  for (int n = 1; n <= kColumns; ++n) values += (n > 1 ? ", ?" : "?") + std::to_string(n);
  Statement insert(db_, "INSERT INTO configurations (" + columns + ") VALUES (" + values + ")");
  int n = 0;
  insert.bind(++n, c.key.species);
  insert.bind(++n, c.key.scenario);
  insert.bind(++n, c.key.tag);
  insert.bind(++n, std::int64_t{c.run});
  insert.bind(++n, std::int64_t{c.known_species});
  insert.bind(++n, c.state);
  insert.bind(++n, c.exit_status);
  insert.bind(++n, c.message);
  insert.bind(++n, c.results_path);
  ++n;
  if (!c.results_sha256.empty()) insert.bind(n, c.results_sha256);
  for (const FileRecord& file : c.inputs) {
    if (file.path.empty()) {
      n += 4;  // left NULL
      continue;
    }
    insert.bind(++n, file.path);
    insert.bind(++n, file.size);
    insert.bind(++n, file.mtime_ns);
    insert.bind(++n, file.sha256);
  }
  insert.bind(++n, c.kp);
  for (double k : c.k) insert.bind(++n, k);
  for (double w : c.wmol) insert.bind(++n, w);
  insert.bind(++n, c.undetermined);
  insert.bind(++n, c.misfit);
  insert.bind(++n, c.seconds);
  insert.bind(++n, c.records);
  insert.bind(++n, c.batch);
  ++n;
  if (!digest.empty()) insert.bind(n, digest);
  if (!insert.done()) return failure("record " + display_name(c.key) + " in");

  Statement coefficient(db_,
                        "INSERT INTO coefficients (species, scenario, tag, target_bin, term, "
                        "coefficient, lower, upper, at_bound, standard_error, flag) VALUES (?1, "
                        "?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
  for (const CoefficientRow& row : stored.coefficients) {
    coefficient.bind_key(c.key);
    coefficient.bind(4, std::int64_t{row.target_bin});
    coefficient.bind(5, row.term);
    coefficient.bind(6, row.coefficient);
    coefficient.bind(7, row.lower);
    coefficient.bind(8, row.upper);
    coefficient.bind(9, std::int64_t{row.at_bound});
    coefficient.bind(10, row.standard_error);
    coefficient.bind(11, row.flag);
    if (!coefficient.done()) return failure("record the coefficients of " + display_name(c.key) + " in");
    coefficient.reset();
  }
  Statement fit(db_,
                "INSERT INTO fits (species, scenario, tag, target_bin, rss, rms, r_squared, "
                "relative_residual, autocorrelation, misfit) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, "
                "?8, ?9, ?10)");
  for (const FitRow& row : stored.fits) {
    fit.bind_key(c.key);
    fit.bind(4, std::int64_t{row.target_bin});
    fit.bind(5, row.rss);
    fit.bind(6, row.rms);
    fit.bind(7, row.r_squared);
    fit.bind(8, row.relative_residual);
    fit.bind(9, row.autocorrelation);
    fit.bind(10, std::int64_t{row.misfit});
    if (!fit.done()) return failure("record the fits of " + display_name(c.key) + " in");
    fit.reset();
  }
  if (stored.model) return insert_model(c.key, *stored.model);
  return {};
}

Error Study::insert_model(const Key& key, const ModelRow& model) {
  Statement insert(db_,
                   "INSERT INTO models (species, scenario, tag, total_rss, aic, k, preferred) "
                   "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  insert.bind_key(key);
  insert.bind(4, model.total_rss);
  insert.bind(5, model.aic);
  insert.bind(6, std::int64_t{model.k});
  insert.bind(7, std::int64_t{model.preferred});
  if (!insert.done()) return failure("record the model of " + display_name(key) + " in");
  return {};
}

Error Study::record(const ConfigurationRecord& configuration,
                    const std::vector<CoefficientRow>& coefficients,
                    const std::vector<FitRow>& fits, void (*before_commit)()) {
  const std::string what = "record " + config::printable(display_name(configuration.key)) + " in";
  return transaction(what, [&]() -> Error {
    if (Error e = delete_configuration(configuration.key, nullptr)) return e;
    const Stored stored{configuration, coefficients, fits, std::nullopt, {}};
    Error inserted = insert_configuration(stored, record_digest(stored));
    if (!inserted && before_commit != nullptr) before_commit();
    return inserted;
  });
}

Error Study::set_model(const Key& key, const std::optional<ModelRow>& model) {
  return transaction("record a model in", [&]() -> Error {
    Statement remove(db_, "DELETE FROM models WHERE species = ?1 AND scenario = ?2 AND tag = ?3");
    remove.bind_key(key);
    if (!remove.done()) return failure("record a model in");
    if (!model) return {};
    return insert_model(key, *model);
  });
}

Error Study::forget(const std::vector<Key>& keys, int& removed) {
  int count = 0;
  Error error = transaction("forget configurations in", [&]() -> Error {
    for (const Key& key : keys) {
      if (Error e = delete_configuration(key, &count)) return e;
    }
    return {};
  });
  if (!error) removed = count;
  return error;
}

Error Study::find(const Key& key, std::optional<Stored>& found) {
  std::optional<Stored> row;
  Error error = read_transaction([&]() {
    return read_configurations(db_, version_ >= 2, &key, [&](Stored& stored) {
      row = std::move(stored);
      return false;
    });
  });
  if (error) return error;
  found = std::move(row);
  return {};
}

template <typename Body>
Error Study::read_transaction(Body body) {
  // One read transaction: every SELECT in it sees the same commit.
  if (exec("BEGIN") != SQLITE_OK) return failure("read");
  Error error = body();
  if (error && error.message.empty()) error = failure("read");
  exec(error ? "ROLLBACK" : "COMMIT");
  if (error && !error.refusal && error.message.find(path_) == std::string::npos) {
    error.message = "cannot read " + path_ + ": " + error.message;
  }
  return error;
}

Error Study::read(Snapshot& snapshot) {
  Snapshot read;
  Error error = read_each(read.batches, [&](Stored& stored) {
    read.configurations.push_back(std::move(stored));
    return true;
  });
  if (!error) snapshot = std::move(read);
  return error;
}

Error Study::count(std::size_t& configurations) {
  Statement query(db_, "SELECT count(*) FROM configurations");
  if (!query.row()) return failure("read");
  configurations = static_cast<std::size_t>(query.integer64(0));
  return {};
}

Error Study::read_each(std::vector<BatchRecord>& batches,
                       const std::function<bool(Stored&)>& visit) {
  std::vector<BatchRecord> read;
  return read_transaction([&]() -> Error {
    std::map<std::int64_t, std::size_t> index;  // batch id -> its place in read
    Statement query(db_,
                    "SELECT id, program_version, source_revision, command_line, "
                    "working_directory, host, started, ended, run_set, run_set_size, shard, "
                    "se_limit, misfit_limit FROM batches ORDER BY id");
    while (query.row()) {
      BatchRecord& b = read.emplace_back();
      b.id = query.integer64(0);
      b.program_version = query.text(1);
      b.source_revision = query.text(2);
      if (!parse_json_arguments(query.text(3), b.command_line)) {
        return Error{"the command line of batch " + std::to_string(b.id) +
                     " is not a JSON array of strings"};
      }
      b.working_directory = query.text(4);
      b.host = query.text(5);
      b.started = query.text(6);
      b.ended = query.text(7);
      const std::string run_set = query.text(8);
      char* end = nullptr;
      b.fingerprint = std::strtoull(run_set.c_str(), &end, 16);
      b.run_set_size = query.integer(9);
      if (run_set.size() != 16 || *end != '\0' ||
          !parse_shard_text(query.text(10), b.shard_index, b.shard_count)) {
        return Error{"batch " + std::to_string(b.id) + " does not say which run set or shard it ran"};
      }
      b.se_limit = query.real(11);
      b.misfit_limit = query.real(12);
      index[b.id] = read.size() - 1;
    }
    if (!query.done()) return Error{sqlite_says(db_)};
    Statement species(db_, std::string("SELECT batch, name, kp, multiplier, multiplier6, layout") +
                               (version_ >= 3 ? ", source" : "") +
                               " FROM species_rows ORDER BY batch, rowid");
    while (species.row()) {
      auto at = index.find(species.integer64(0));
      if (at == index.end()) continue;  // the integrity check rules this out
      read[at->second].species.push_back({species.text(1), species.real(2), species.real(3),
                                          species.real(4), species.text(5),
                                          version_ >= 3 ? species.text(6) : std::string()});
    }
    if (!species.done()) return Error{sqlite_says(db_)};
    batches = std::move(read);
    return read_configurations(db_, version_ >= 2, nullptr, visit);
  });
}

namespace {

Error read_configurations(sqlite3* db, bool hashed, const Key* key,
                          const std::function<bool(Stored&)>& visit) {
  const std::string where = key ? " WHERE species = ?1 AND scenario = ?2 AND tag = ?3" : "";
  std::string columns = "species, scenario, tag, run, known_species, state, exit_status, message, "
                        "results_path, results_sha256";
  for (const char* input : kInputColumns) {
    for (const char* field : {"_path", "_size", "_mtime_ns", "_sha256"}) {
      columns += std::string(", ") + input + field;
    }
  }
  columns += ", kp, k1, k2, k3, k4, k5, k6, wmol1, wmol2, wmol3, wmol4, wmol5, wmol6, "
             "undetermined, misfit, seconds, records, batch";
  if (hashed) columns += ", record_sha256";
  Statement query(db, "SELECT " + columns + " FROM configurations" + where +
                          " ORDER BY run, species, scenario, tag");
  if (key) query.bind_key(*key);
  // A configuration's rows by its key (the tables' primary keys): the
  // coefficients in term order, the precursor's, then the bins' (whose
  // labels VB1 ... VB6 sort as text).
  constexpr const char* kOfKey = " WHERE species = ?1 AND scenario = ?2 AND tag = ?3";
  Statement coefficients(db, std::string("SELECT target_bin, term, coefficient, lower, upper, "
                                         "at_bound, standard_error, flag FROM coefficients") +
                                 kOfKey + " ORDER BY target_bin, term <> ?4, term");
  Statement fits(db, std::string("SELECT target_bin, rss, rms, r_squared, relative_residual, "
                                 "autocorrelation, misfit FROM fits") +
                         kOfKey + " ORDER BY target_bin");
  Statement models(db, std::string("SELECT total_rss, aic, k, preferred FROM models") + kOfKey);
  while (query.row()) {
    Stored stored;
    ConfigurationRecord& c = stored.record;
    int n = 0;
    c.key = {query.text(n), query.text(n + 1), query.text(n + 2)};
    n += 3;
    c.run = query.integer(n++);
    c.known_species = query.integer(n++) != 0;
    c.state = query.text(n++);
    c.exit_status = query.optional_integer(n++);
    c.message = query.text(n++);
    c.results_path = query.text(n++);
    c.results_sha256 = query.text(n++);
    for (FileRecord& file : c.inputs) {
      file.path = query.text(n++);
      file.size = query.integer64(n++);
      file.mtime_ns = query.integer64(n++);
      file.sha256 = query.text(n++);
    }
    c.kp = query.real(n++);
    for (double& k : c.k) k = query.real(n++);
    for (double& w : c.wmol) w = query.real(n++);
    c.undetermined = query.optional_integer(n++);
    c.misfit = query.optional_integer(n++);
    c.seconds = query.optional_real(n++);
    c.records = query.optional_integer(n++);
    c.batch = query.integer64(n++);
    if (hashed) stored.record_sha256 = query.text(n++);

    coefficients.reset();
    coefficients.bind_key(c.key);
    coefficients.bind(4, config::term_label(0));
    while (coefficients.row()) {
      stored.coefficients.push_back({coefficients.integer(0), coefficients.text(1),
                                     coefficients.real(2), coefficients.real(3),
                                     coefficients.real(4), coefficients.integer(5) != 0,
                                     coefficients.real(6), coefficients.text(7)});
    }
    if (!coefficients.done()) return Error{sqlite_says(db)};
    fits.reset();
    fits.bind_key(c.key);
    while (fits.row()) {
      stored.fits.push_back({fits.integer(0), fits.real(1), fits.real(2), fits.real(3),
                             fits.real(4), fits.real(5), fits.integer(6) != 0});
    }
    if (!fits.done()) return Error{sqlite_says(db)};
    models.reset();
    models.bind_key(c.key);
    if (models.row()) {
      stored.model = ModelRow{models.real(0), models.real(1), models.integer(2),
                              models.integer(3) != 0};
    } else if (!models.done()) {
      return Error{sqlite_says(db)};
    }
    if (!visit(stored)) return {};
  }
  if (!query.done()) return Error{sqlite_says(db)};
  return {};
}

}  // namespace

Error Study::write_snapshot(const Snapshot& snapshot) {
  return transaction("write", [&]() -> Error {
    for (const char* table : {"models", "fits", "coefficients", "configurations", "species_rows",
                              "batches"}) {
      if (exec(std::string("DELETE FROM ") + table) != SQLITE_OK) return failure("write");
    }
    for (const BatchRecord& batch : snapshot.batches) {
      if (Error e = insert_batch(batch, batch.id)) return e;
      if (Error e = insert_species(batch.id, batch.species)) return e;
    }
    for (const Stored& stored : snapshot.configurations) {
      if (Error e = insert_configuration(stored, stored.record_sha256)) return e;
    }
    return {};
  });
}

}  // namespace study
