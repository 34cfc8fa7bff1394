// The study's record as vbsfit-batch keeps it, on vbsgen data: a batch
// killed at any point leaves a database that opens and passes its checks,
// and the same command again completes the study with results files
// byte-identical to a clean run's; what is kept is checked (an edited,
// truncated or emptied results file, or an input changed after its fit, is
// stale, never kept); one batch at a time, a reader sees whole
// configurations; a file that is not a study is refused untouched.
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "batch/analysis.hpp"
#include "batch/batch.hpp"
#include "batch/flusher.hpp"
#include "batch/runner.hpp"
#include "batch/tables.hpp"
#include "batch/test_points.hpp"
#include "batch_study.hpp"
#include "study/study.hpp"

namespace {

namespace fs = std::filesystem;
using batch::CsvRow;
using testsupport::column;
using testsupport::read_file;
using testsupport::read_table;
using testsupport::run_row;
using testsupport::write_file;

const std::vector<batch::Configuration> kStudy = {
    {"OLE2_OH", "0.1", "allgas"}, {"OLE2_OH", "0.1", "no6"}, {"OLE2_OH", "0.1", "no56"},
    {"OLE2_OH", "0.1", "static"}, {"API_OH", "0.1", "allgas"}, {"API_OH", "0.1", "no6"}};
const std::vector<std::string> kArgs = {"--plan", "../study.plan", "-j", "1", "--no-pages"};

// How long a killed batch's last worker may take to let go of the report.
constexpr auto kLockTimeout = std::chrono::seconds(20);

// Where a batch run in a child of the test kills itself: the `nth` time it
// reaches `point` (with `subject`, when that is not empty).
struct KillPoint {
  batch::TestPoint point;
  std::string_view subject;
};
KillPoint g_kill_at{};
int g_kill_nth = 0;
void kill_at(batch::TestPoint point, std::string_view subject) {
  if (point == g_kill_at.point && (g_kill_at.subject.empty() || subject == g_kill_at.subject) &&
      --g_kill_nth == 0) {
    ::raise(SIGKILL);
  }
}

class Study : public testsupport::BatchStudy {
 protected:
  void SetUp() override {
    BatchStudy::SetUp();
    std::string plan;
    for (const batch::Configuration& c : kStudy) {
      plan += c.species + "," + c.scenario + "," + c.tag + "\n";
    }
    write_file(root() / "study.plan", plan);
  }

  fs::path database() const { return report() / "study.sqlite"; }

  // The results files' bytes, by configuration name.
  std::map<std::string, std::string> results_files() const {
    std::map<std::string, std::string> files;
    for (const batch::Configuration& c : kStudy) {
      const fs::path file = results(c.species, c.scenario, c.tag);
      if (fs::exists(file)) files[batch::display_name(c)] = read_file(file);
    }
    return files;
  }

  // Removes every results file and the report: a study not yet begun.
  void start_over() {
    for (const batch::Configuration& c : kStudy) fs::remove(results(c.species, c.scenario, c.tag));
    fs::remove_all(report());
  }

  // The batch run in a child of this test with kill_at on its test points;
  // returns the wait status.
  int batch_killed_at(KillPoint point, int nth) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(run_dir().c_str()) != 0) ::_exit(127);
      const int err = ::open("batch.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(err, STDERR_FILENO);
      g_kill_at = point;
      g_kill_nth = nth;
      batch::set_test_point_action(kill_at);
      ::_exit(batch::batch_main(kArgs, {"OLE2_OH", "0.1", "allgas", "0", ""}));
    }
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return status;
  }

  // The batch again, until the workers of a killed one have let go of the
  // report.
  testsupport::ProgramRun batch_when_free(const std::vector<std::string>& args) {
    const auto deadline = std::chrono::steady_clock::now() + kLockTimeout;
    for (;;) {
      testsupport::ProgramRun run = batch(args);
      if (run.exit_status != 2 || std::chrono::steady_clock::now() > deadline) return run;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  // The study's database opens (as the batch opens it, or `reading` beside
  // a batch that writes it) and passes its checks; returns how many
  // configurations it holds, or -1 when it does not open (a failure unless
  // `may_fail`: a reader may come before the batch has made it).
  int check_database(bool reading = false, bool may_fail = false) {
    study::Study db;
    if (study::Error e = study::Study::open(database().string(), db, reading)) {
      if (!may_fail) ADD_FAILURE() << e.message;
      return -1;
    }
    EXPECT_FALSE(db.integrity_check()) << db.integrity_check().message;
    study::Snapshot snapshot;
    EXPECT_FALSE(db.read(snapshot));
    for (const study::Stored& s : snapshot.configurations) {
      // A configuration is there whole or not at all.
      EXPECT_TRUE(s.coefficients.empty() || s.coefficients.size() == 42u);
      EXPECT_EQ(s.coefficients.empty(), s.fits.empty());
    }
    return static_cast<int>(snapshot.configurations.size());
  }

  // The rerun completes the study: status 0, every results file as `clean`,
  // every row succeeded or kept.
  void expect_completed(const std::map<std::string, std::string>& clean) {
    const testsupport::ProgramRun rerun = batch_when_free(kArgs);
    EXPECT_EQ(rerun.exit_status, 0) << rerun.err;
    EXPECT_EQ(results_files(), clean);
    const auto runs = read_table(report() / batch::kRunsTable);
    ASSERT_EQ(runs.size(), 1 + kStudy.size());
    for (std::size_t n = 1; n < runs.size(); ++n) {
      const std::string& state = runs[n][column(runs, "state")];
      EXPECT_TRUE(state == "succeeded" || state == "kept") << state;
    }
    EXPECT_EQ(read_table(report() / batch::kCoefficientsTable).size(), 1 + kStudy.size() * 42);
    EXPECT_EQ(check_database(), static_cast<int>(kStudy.size()));
  }
};

TEST_F(Study, AKillAtEachPointOfRecordingLeavesAStudyThatARerunCompletes) {
  ASSERT_EQ(batch(kArgs).exit_status, 0);
  const std::map<std::string, std::string> clean = results_files();
  ASSERT_EQ(clean.size(), kStudy.size());
  using batch::TestPoint;
  const struct {
    const char* name;
    KillPoint point;
    int nth;
    bool rerun;    // killed in a rerun of the whole study, not in its first batch
    int recorded;  // configurations in the database after the kill
  } cases[] = {
      {"before-record", {TestPoint::before_record, ""}, 1, false, 0},
      {"before-record", {TestPoint::before_record, ""}, 3, false, 2},
      {"in-record", {TestPoint::in_record, ""}, 3, false, 2},  // its rows written, not committed
      {"in-record", {TestPoint::in_record, ""}, 3, true, 6},   // the earlier rows stay
      {"after-record", {TestPoint::after_record, ""}, 3, false, 3},
      {"after-record", {TestPoint::after_record, ""}, 6, false, 6},
      // the tables half rewritten
      {"coefficients written", {TestPoint::table_written, batch::kCoefficientsTable}, 1, false, 6},
      {"fits written", {TestPoint::table_written, batch::kFitsTable}, 1, true, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " #" + std::to_string(c.nth) + (c.rerun ? " rerun" : ""));
    start_over();
    if (c.rerun) {
      ASSERT_EQ(batch(kArgs).exit_status, 0);
    }
    const int status = batch_killed_at(c.point, c.nth);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(check_database(), c.recorded);
    // A report without runs.csv says it is not whole.
    EXPECT_FALSE(fs::exists(report() / batch::kRunsTable));
    expect_completed(clean);
  }
}

TEST_F(Study, KillsAtVariedMomentsLeaveAStudyThatARerunCompletes) {
  ASSERT_EQ(batch(kArgs).exit_status, 0);
  const std::map<std::string, std::string> clean = results_files();
  const std::string program = testsupport::binary("vbsfit-batch");
  for (int delay_ms : {2, 8, 15, 25, 40, 70}) {
    SCOPED_TRACE("killed after " + std::to_string(delay_ms) + " ms");
    start_over();
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(run_dir().c_str()) != 0) ::_exit(127);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDERR_FILENO);
      std::vector<char*> argv = {const_cast<char*>(program.c_str())};
      for (const std::string& a : kArgs) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (fs::exists(database())) check_database();
    expect_completed(clean);
  }
}

// What a batch's flushes covered and what its record claimed, seen from
// inside the batch's process: the results files in FITS/ when each flush
// began, and each configuration recorded as succeeded or kept. The flush
// runs on the batch's flushing thread while the batch forks its workers, so
// it allocates nothing: a fork would copy the allocator's lock as held.
struct FlushLedger {
  std::mutex mutex;
  char results_directory[512] = {};
  char flushed[64][256] = {};
  int flushed_count = 0;
  int flushes = 0, claims = 0, unflushed_claims = 0;
};
FlushLedger g_ledger;

void list_flushed() {
  std::lock_guard lock(g_ledger.mutex);
  ++g_ledger.flushes;
  const int dir = ::open(g_ledger.results_directory, O_RDONLY | O_DIRECTORY);
  if (dir < 0) return;
  alignas(8) char entries[8192];
  long got;
  while ((got = ::syscall(SYS_getdents64, dir, entries, sizeof entries)) > 0) {
    for (long at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
      at += entry->d_reclen;
      if (entry->d_name[0] == '.' || g_ledger.flushed_count == 64) continue;
      std::snprintf(g_ledger.flushed[g_ledger.flushed_count++], 256, "%s", entry->d_name);
    }
  }
  ::close(dir);
}

void check_claim(std::string_view results_file) {
  std::lock_guard lock(g_ledger.mutex);
  ++g_ledger.claims;
  const std::string name = fs::path(results_file).filename().string();
  bool covered = false;
  for (int n = 0; n < g_ledger.flushed_count; ++n) covered |= name == g_ledger.flushed[n];
  g_ledger.unflushed_claims += !covered;
}

TEST_F(Study, TheRecordClaimsOnlyResultsThatAFlushBegunAfterThemCovered) {
  // A first batch that fits all six, then one that keeps them: each in a
  // process of its own, its ledger written out at the end.
  for (const char* batch_kind : {"fitted", "kept"}) {
    SCOPED_TRACE(batch_kind);
    const fs::path ledger = root() / "ledger";
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(run_dir().c_str()) != 0) ::_exit(127);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDERR_FILENO);
      std::strncpy(g_ledger.results_directory, (run_dir() / "FITS").c_str(), 511);
      batch::set_test_point_action([](batch::TestPoint point, std::string_view subject) {
        if (point == batch::TestPoint::flushing) list_flushed();
        if (point == batch::TestPoint::claim) check_claim(subject);
      });
      const int status = batch::batch_main({"--plan", "../study.plan", "-j", "2", "--no-pages"},
                                           {"OLE2_OH", "0.1", "allgas", "0", ""});
      write_file(ledger, std::to_string(status) + " " + std::to_string(g_ledger.claims) + " " +
                             std::to_string(g_ledger.unflushed_claims) + " " +
                             std::to_string(g_ledger.flushes));
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    std::istringstream in(read_file(ledger));
    int exit_status = -1, claims = -1, unflushed = -1, flushes = -1;
    in >> exit_status >> claims >> unflushed >> flushes;
    EXPECT_EQ(exit_status, 0);
    EXPECT_EQ(claims, static_cast<int>(kStudy.size()));
    EXPECT_EQ(unflushed, 0);
    // Grouped: at least one flush, never more than one per configuration.
    EXPECT_GE(flushes, 1);
    EXPECT_LE(flushes, claims);
  }
}

TEST_F(Study, AResultsFileThatIsNotWhatItsInputsFitToIsStaleNeverKept) {
  ASSERT_EQ(batch(kArgs).exit_status, 0);
  const std::map<std::string, std::string> clean = results_files();
  const fs::path target = results("OLE2_OH", "0.1", "no6");
  const fs::path precursor = root() / "INPUTS_ODE/5days/0.1_aer.API_OH/aer.precursor";
  const std::string original_precursor = read_file(precursor);
  const struct {
    const char* what;
    void (*spoil)(const fs::path& results, const fs::path& precursor);
    std::vector<std::string> stale;  // the configurations it makes stale
  } cases[] = {
      {"one digit edited",
       [](const fs::path& r, const fs::path&) {
         std::string text = read_file(r);
         const std::size_t at = text.find_last_of("123456789");
         text[at] = text[at] == '1' ? '2' : '1';
         write_file(r, text);
       },
       {"OLE2_OH/0.1/no6"}},
      {"truncated",
       [](const fs::path& r, const fs::path&) { fs::resize_file(r, fs::file_size(r) / 2); },
       {"OLE2_OH/0.1/no6"}},
      {"emptied", [](const fs::path& r, const fs::path&) { write_file(r, ""); },
       {"OLE2_OH/0.1/no6"}},
      // Same size and modification time: only its digest tells.
      {"an input changed after its fit",
       [](const fs::path&, const fs::path& p) {
         const auto mtime = fs::last_write_time(p);
         std::string text = read_file(p);
         // The last digit of a record's last field (the precursor, not the time).
         const std::size_t at = text.find_last_of("123456789", text.find('\n', 1000));
         text[at] = text[at] == '1' ? '2' : '1';
         write_file(p, text);
         fs::last_write_time(p, mtime);
       },
       {"API_OH/0.1/allgas", "API_OH/0.1/no6"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.spoil(target, precursor);
    const testsupport::ProgramRun rerun = batch(kArgs);
    EXPECT_EQ(rerun.exit_status, 1);
    const auto runs = read_table(report() / batch::kRunsTable);
    for (const batch::Configuration& k : kStudy) {
      const std::string name = batch::display_name(k);
      const bool stale = std::find(c.stale.begin(), c.stale.end(), name) != c.stale.end();
      const CsvRow row = run_row(runs, k.species, k.scenario, k.tag);
      EXPECT_EQ(row[column(runs, "state")], stale ? "stale" : "kept") << name;
      EXPECT_EQ(row[column(runs, "wmol1")].empty(), stale) << name;
      if (!stale) continue;
      const std::string note = batch::stale_note(k);
      EXPECT_EQ(row[column(runs, "message")], note);
      EXPECT_NE(rerun.err.find("  stale: " + name + ": " + note + "\n"), std::string::npos)
          << rerun.err;
    }
    EXPECT_EQ(batch(kArgs).exit_status, 1) << "stale twice";
    // --refit replaces what is stale, and only that.
    const auto before = results_files();
    const testsupport::ProgramRun refit = batch([] {
      auto a = kArgs;
      a.push_back("--refit");
      return a;
    }());
    EXPECT_EQ(refit.exit_status, 0) << refit.err;
    EXPECT_EQ(refit.err.rfind("vbsfit-batch: 6 configurations: " +
                                  std::to_string(c.stale.size()) + " succeeded, " +
                                  std::to_string(6 - c.stale.size()) + " kept",
                              0),
              0u)
        << refit.err;
    if (std::string(c.what) != "an input changed after its fit") {
      EXPECT_EQ(results_files(), clean);
    }
    EXPECT_FALSE(fs::exists(batch::set_aside_path(run_dir().string(), {"OLE2_OH", "0.1", "no6"})));
    write_file(precursor, original_precursor);
    ASSERT_EQ(batch({"--plan", "../study.plan", "--no-pages", "--refit"}).exit_status, 0);
    EXPECT_EQ(results_files(), clean);
  }
}

// A record changed after the batch wrote it (here by hand) no longer stands
// for its results file: the next batch checks the file in memory and
// records its numbers again.
TEST_F(Study, ARecordEditedByHandIsCheckedAgainstItsResultsFile) {
  ASSERT_EQ(batch(kArgs).exit_status, 0);
  const std::string coefficients = read_file(report() / "coefficients.csv");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(database().c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "UPDATE coefficients SET coefficient = 0.5", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  const auto again = batch(kArgs);
  EXPECT_EQ(again.exit_status, 0) << again.err;
  EXPECT_EQ(read_file(report() / "coefficients.csv"), coefficients);
}

TEST_F(Study, ARefitSetAsideByAKilledBatchIsPutBackOrDroppedOnceReplaced) {
  ASSERT_EQ(batch(kArgs).exit_status, 0);
  const std::map<std::string, std::string> clean = results_files();
  const batch::Configuration moved{"OLE2_OH", "0.1", "static"}, both{"API_OH", "0.1", "no6"};
  const fs::path moved_results = results(moved.species, moved.scenario, moved.tag);
  const std::string moved_aside = batch::set_aside_path(run_dir().string(), moved);
  const std::string both_aside = batch::set_aside_path(run_dir().string(), both);
  // Killed after the old file was set aside, before its run wrote the new one.
  fs::rename(moved_results, moved_aside);
  // Killed after the new file was complete, before the old one was removed.
  write_file(both_aside, "the old file\n");
  const testsupport::ProgramRun rerun = batch(kArgs);
  EXPECT_EQ(rerun.exit_status, 0) << rerun.err;
  EXPECT_EQ(rerun.err.rfind("vbsfit-batch: 6 configurations: 0 succeeded, 6 kept", 0), 0u);
  EXPECT_FALSE(fs::exists(moved_aside));
  EXPECT_FALSE(fs::exists(both_aside));
  EXPECT_EQ(results_files(), clean);

  // A refit that fails puts the old file back.
  const fs::path bins = root() / "INPUTS_ODE/5days/0.1_aer.OLE2_OH/aer.cdis_all.6";
  const std::string kept_bins = read_file(bins);
  write_file(bins, "not numbers\n");
  EXPECT_EQ(batch({"--plan", "../study.plan", "--no-pages", "--refit=all"}).exit_status, 1);
  EXPECT_EQ(results_files(), clean);
  write_file(bins, kept_bins);
}

TEST_F(Study, ADirectoryWhereAResultsFileBelongsFailsItsConfigurationAlone) {
  const batch::Configuration blocked{"OLE2_OH", "0.1", "no6"}, other{"API_OH", "0.1", "no6"};
  const fs::path directory = results(blocked.species, blocked.scenario, blocked.tag);
  fs::create_directories(directory / "mine");
  write_file(directory / "mine" / "notes", "the user's\n");
  const std::string message = "vbsfit-batch: FITS/fit6_coef.OLE2_OH.0.1.no6 is a directory, not "
                              "a results file; remove or rename it";
  // Left by an earlier batch: an old results file of the blocked
  // configuration set aside by a killed refit, and a directory set aside as
  // if it were a results file. Neither is the batch's to drop or put back.
  const std::string old_file = batch::set_aside_path(run_dir().string(), blocked);
  const std::string old_directory = batch::set_aside_path(run_dir().string(), other);
  const std::string failed = "  failed: OLE2_OH/0.1/no6: " + message + "\n";
  // A refit of the other needs the name the directory has.
  const std::string in_the_way = "  failed: API_OH/0.1/no6: vbsfit-batch: cannot set "
                                 "./FITS/fit6_coef.API_OH.0.1.no6 aside for its refit: " +
                                 batch::set_aside_path(".", other) +
                                 " is a directory; remove or rename it\n";
  const struct {
    std::vector<std::string> extra;
    std::string summary;
    bool leftovers;  // the earlier batch's leftovers are there
  } cases[] = {
      {{}, "5 succeeded, 0 kept, 1 failed\n" + failed, false},
      {{"--refit"}, "0 succeeded, 5 kept, 1 failed\n" + failed, false},
      {{"--refit=all"}, "4 succeeded, 0 kept, 2 failed\n" + failed + in_the_way, true},
      {{}, "0 succeeded, 5 kept, 1 failed\n" + failed, true},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = kArgs;
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    SCOPED_TRACE(testing::PrintToString(args));
    if (c.leftovers) {
      write_file(old_file, "the old file\n");
      fs::create_directories(fs::path(old_directory) / "kept");
    }
    const testsupport::ProgramRun run = batch(args);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err.rfind("vbsfit-batch: 6 configurations: " + c.summary, 0), 0u) << run.err;
    const auto runs = read_table(report() / batch::kRunsTable);
    const CsvRow row = run_row(runs, blocked.species, blocked.scenario, blocked.tag);
    EXPECT_EQ(row[column(runs, "state")], "failed");
    EXPECT_EQ(row[column(runs, "message")], message);
    EXPECT_EQ(read_file(directory / "mine" / "notes"), "the user's\n");
    // Nothing set aside but what was there before.
    std::vector<std::string> hidden;
    for (const auto& entry : fs::directory_iterator(run_dir() / "FITS")) {
      const std::string name = entry.path().filename().string();
      if (name[0] == '.') hidden.push_back(entry.path().string());
    }
    std::sort(hidden.begin(), hidden.end());
    const std::vector<std::string> before =
        c.leftovers ? std::vector<std::string>{old_directory, old_file} : std::vector<std::string>();
    EXPECT_EQ(hidden, before);
  }
  EXPECT_EQ(read_file(old_file), "the old file\n");
  EXPECT_TRUE(fs::exists(fs::path(old_directory) / "kept"));

  // Once the name is free, the old file is put back, found stale and refitted.
  fs::remove_all(directory);
  const testsupport::ProgramRun freed = batch({"--plan", "../study.plan", "--no-pages", "--refit"});
  EXPECT_EQ(freed.exit_status, 0) << freed.err;
  EXPECT_EQ(freed.err.rfind("vbsfit-batch: 6 configurations: 1 succeeded, 5 kept, 0 failed", 0),
            0u)
      << freed.err;
  EXPECT_FALSE(fs::exists(old_file));
  EXPECT_TRUE(fs::exists(fs::path(old_directory) / "kept"));
}

TEST_F(Study, OneBatchAtATimeAndAReaderSeesWholeConfigurations) {
  // The first batch waits after its second configuration's transaction.
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(run_dir().c_str()) != 0) ::_exit(127);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDERR_FILENO);
    batch::set_test_point_action([](batch::TestPoint point, std::string_view) {
      static int recorded = 0;
      if (point == batch::TestPoint::after_record && ++recorded == 2) ::sleep(2);
    });
    ::_exit(batch::batch_main(kArgs, {"OLE2_OH", "0.1", "allgas", "0", ""}));
  }
  const auto deadline = std::chrono::steady_clock::now() + kLockTimeout;
  int seen = 0;
  while (seen < 2 && std::chrono::steady_clock::now() < deadline) {
    // Until the batch has made its schema, a reader finds an empty database
    // (seen -1): that may happen more than once on a loaded machine.
    if (fs::exists(database())) seen = check_database(true, seen <= 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(seen, 2);
  const testsupport::ProgramRun second = batch(kArgs);
  EXPECT_EQ(second.exit_status, 2);
  EXPECT_NE(second.err.find("another vbsfit-batch is writing the report"), std::string::npos);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(check_database(), 6);
}

TEST_F(Study, AFileThatIsNoStudyOrOfANewerSchemaIsRefusedUntouched) {
  fs::create_directories(report());
  const struct {
    const char* what;
    void (*make)(const fs::path& file);
    const char* message;
  } cases[] = {
      {"a text file", [](const fs::path& f) { write_file(f, "species,scenario\n"); },
       "is not a study database"},
      {"a newer schema",
       [](const fs::path& f) {
         sqlite3* db = nullptr;
         ASSERT_EQ(sqlite3_open(f.c_str(), &db), SQLITE_OK);
         sqlite3_exec(db, "CREATE TABLE t(x); PRAGMA user_version = 99", nullptr, nullptr, nullptr);
         sqlite3_close(db);
       },
       "was written by a newer vbsfit-batch (schema 99)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(database());
    c.make(database());
    const std::string before = read_file(database());
    const testsupport::ProgramRun run = batch(kArgs);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_NE(run.first_err_line().find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(read_file(database()), before);
    EXPECT_TRUE(results_files().empty());
    EXPECT_FALSE(fs::exists(report() / batch::kRunsTable));
  }
}

// A damaged study is refused before the batch writes anything, its own
// row included, with what is wrong and no advice to move it.
TEST_F(Study, ADamagedStudyIsRefusedBeforeTheBatchRecordsItself) {
  ASSERT_EQ(batch(kArgs).exit_status, 0);
  const std::string whole = read_file(database());
  const struct {
    const char* sql;
    const char* message;
  } cases[] = {
      {"ALTER TABLE coefficients DROP COLUMN flag",
       "is a damaged study: its table coefficients has no column flag; it is left as it is: "
       "restore it from a copy, or give another --report"},
      {"PRAGMA user_version = -1",
       "has the schema version -1, which no vbsfit-batch writes; it is left as it is"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    write_file(database(), whole);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(database().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, c.sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    const std::string before = read_file(database());
    const testsupport::ProgramRun run = batch(kArgs);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_NE(run.first_err_line().find(c.message), std::string::npos) << run.err;
    EXPECT_TRUE(read_file(database()) == before) << "the study was written to";
  }
}

TEST_F(Study, ABatchAddsToTheStudyAndForgetRemovesOnlyTheRecord) {
  ASSERT_EQ(batch(kArgs).exit_status, 0);
  const std::string coefficients = read_file(report() / batch::kCoefficientsTable);
  // One configuration again: the other five stay in every table.
  const auto one = batch({"--species", "API_OH", "--tag", "no6", "--no-pages"});
  EXPECT_EQ(one.exit_status, 0) << one.err;
  EXPECT_EQ(read_table(report() / batch::kRunsTable).size(), 1 + kStudy.size());
  EXPECT_EQ(read_file(report() / batch::kCoefficientsTable), coefficients);

  study::Study db;
  ASSERT_FALSE(study::Study::open(database().string(), db, true));
  study::Snapshot snapshot;
  ASSERT_FALSE(db.read(snapshot));
  ASSERT_EQ(snapshot.batches.size(), 2u);
  const study::BatchRecord& last = snapshot.batches.back();
  EXPECT_EQ(last.command_line,
            (std::vector<std::string>{testsupport::binary("vbsfit-batch"), "--species", "API_OH",
                                      "--tag", "no6", "--no-pages"}));
  EXPECT_EQ(last.working_directory, run_dir().string());
  EXPECT_FALSE(last.host.empty());
  EXPECT_FALSE(last.ended.empty());
  EXPECT_EQ(last.run_set_size, 1);
  for (const study::Stored& s : snapshot.configurations) {
    EXPECT_EQ(s.record.results_sha256.size(), 64u);
    EXPECT_EQ(s.record.inputs[study::kPrecursor].path,
              "../INPUTS_ODE/5days/0.1_aer." + s.record.key.species + "/aer.precursor");
  }

  const auto forgot = batch({"--species", "OLE2_OH", "--tag", "no6,static", "--forget", "--no-pages"});
  EXPECT_EQ(forgot.exit_status, 0) << forgot.err;
  EXPECT_EQ(forgot.first_err_line(),
            "vbsfit-batch: 2 configurations removed from the study's record (results files kept)");
  EXPECT_EQ(read_table(report() / batch::kRunsTable).size(), 1 + kStudy.size() - 2);
  EXPECT_EQ(results_files().size(), kStudy.size());
}

TEST_F(Study, AReportThatCannotBeWrittenWholeHasNoRunsTableAndStatusOne) {
  ASSERT_EQ(batch(kArgs).exit_status, 0);
  fs::remove(report() / batch::kFitsTable);
  fs::create_directories(report() / batch::kFitsTable / "in the way");
  const testsupport::ProgramRun run = batch(kArgs);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("vbsfit-batch: the report was not written whole: "), std::string::npos)
      << run.err;
  EXPECT_FALSE(fs::exists(report() / batch::kRunsTable));
  fs::remove_all(report() / batch::kFitsTable);
  EXPECT_EQ(batch(kArgs).exit_status, 0);
  EXPECT_EQ(read_table(report() / batch::kRunsTable).size(), 1 + kStudy.size());
}

TEST_F(Study, AnEarlierReportWithoutARecordIsTakenOver) {
  ASSERT_EQ(batch(kArgs).exit_status, 0);
  const std::string runs_before = read_file(report() / batch::kRunsTable);
  // As a report before the study's record: tables and a fit.dump per run.
  fs::remove(database());
  write_file(report() / "runs" / "OLE2_OH" / "0.1" / "allgas" / "fit.dump", "old record");
  write_file(results("API_OH", "0.1", "no6"), "edited by hand\n");
  const auto subset = batch({"--species", "OLE2_OH", "--tag", "no56", "--no-pages"});
  EXPECT_EQ(subset.exit_status, 1) << subset.err;  // the edited file is stale
  const auto runs = read_table(report() / batch::kRunsTable);
  ASSERT_EQ(runs.size(), 1 + kStudy.size());
  for (const batch::Configuration& k : kStudy) {
    const bool edited = k.species == "API_OH" && k.tag == "no6";
    EXPECT_EQ(run_row(runs, k.species, k.scenario, k.tag)[column(runs, "state")],
              edited ? "stale" : "kept");
  }
  EXPECT_FALSE(fs::exists(report() / "runs" / "OLE2_OH" / "0.1" / "allgas" / "fit.dump"));
  EXPECT_EQ(check_database(), static_cast<int>(kStudy.size()));
  EXPECT_NE(runs_before, "");
}

}  // namespace
