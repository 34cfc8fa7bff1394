// The whole run and the reader alone, on a scratch copy of the bundled
// example (examples/, run in its run/ directory as `make demo` does).
//
// BM_WholeRunAgainstCat runs the program and `cat` of its three input files
// in turn, each as a child process with standard output to /dev/null, and
// reports the medians of both and their ratio: the cost of the whole run in
// units of the cost of merely reading its input. Runs alternate closely so
// that load from elsewhere on the machine falls on both alike. The program
// timed is build/vbsfit of this build, or VBSFIT_BENCH_PROGRAM if set (to
// compare two builds with one harness).
//
// BM_ReadInputs is the readers alone, in process: the three files into the
// run data. BM_ParseEField is one E13.5 field of the kind the files hold.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/main_program.hpp"
#include "driver/readers.hpp"
#include "run_program.hpp"
#include "textio/formatted.hpp"

namespace {

namespace fs = std::filesystem;

constexpr const char* kInputDir = "INPUTS_ODE/5days/0.1_aer.OLE2_OH";
constexpr const char* kInputs[] = {"aer.precursor", "aer.cdis_all.6", "aer.wmol_vbs.6"};
constexpr const char* kResults = "FITS/fit6_coef.OLE2_OH.0.1.allgas";

// The bundled example copied once for the whole benchmark run.
const testsupport::ScratchDir& example_copy() {
  static testsupport::ScratchDir dir;
  static const bool copied = [] {
    testsupport::copy_tree(fs::path(VBSFIT_SOURCE_DIR) / "examples", dir.path() / "example");
    fs::create_directories(dir.path() / "example/run/FITS");
    return true;
  }();
  (void)copied;
  return dir;
}

fs::path run_dir() { return example_copy().path() / "example/run"; }

// Runs `argv` in `dir` with standard output to /dev/null; returns the wall
// time from the spawn to the end of the wait, in milliseconds. Aborts the
// benchmark on a failed run: a timing of a failure means nothing. The child
// is spawned, not forked: a fork copies the page tables of this process,
// which the solver benchmarks before it leave large, and that copy would be
// timed with both programs.
double timed_child(const fs::path& dir, const std::vector<std::string>& argv,
                   benchmark::State& state) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  int status = 0;
  while (spawned == 0 && ::waitpid(pid, &status, 0) < 0) {
  }
  const auto end = std::chrono::steady_clock::now();
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    state.SkipWithError(("failed: " + argv[0]).c_str());
  }
  return std::chrono::duration<double, std::milli>(end - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n == 0 ? 0.0 : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

void BM_WholeRunAgainstCat(benchmark::State& state) {
  const fs::path dir = run_dir();
  const char* chosen = std::getenv("VBSFIT_BENCH_PROGRAM");
  const std::string program =
      chosen != nullptr && *chosen != '\0' ? chosen : VBSFIT_BINARY_DIR "/vbsfit";
  std::vector<std::string> cat = {"cat"};
  for (const char* input : kInputs) cat.push_back((dir / ".." / kInputDir / input).string());
  std::vector<double> run_ms, cat_ms;
  for (auto _ : state) {
    fs::remove(dir / kResults);  // the results file is created new by every run
    cat_ms.push_back(timed_child(dir, cat, state));
    run_ms.push_back(timed_child(dir, {program}, state));
  }
  fs::remove(dir / kResults);
  state.counters["run_ms"] = median(run_ms);
  state.counters["cat_ms"] = median(cat_ms);
  state.counters["ratio"] = median(run_ms) / median(cat_ms);
}
BENCHMARK(BM_WholeRunAgainstCat)->Iterations(100)->Unit(benchmark::kMillisecond);

void BM_ReadInputs(benchmark::State& state) {
  // The paths as the set-up builds them, relative to the run directory.
  const fs::path previous = fs::current_path();
  fs::current_path(run_dir());
  driver::MainVariables v;
  v.SPECIES = "OLE2_OH";
  const std::string base = std::string("../") + kInputDir + "/";
  v.FILEP = base + kInputs[0];
  v.FILES = base + kInputs[1];
  v.FILEW = base + kInputs[2];
  for (auto _ : state) driver::run_readers(v);
  fs::current_path(previous);
}
BENCHMARK(BM_ReadInputs)->Unit(benchmark::kMicrosecond);

void BM_ParseEField(benchmark::State& state) {
  const std::string_view fields[] = {"  0.30000E+05", "  0.13690E+01", "  0.12345E-03",
                                     " -0.98765E+12"};
  double value = 0.0;
  std::size_t k = 0;
  for (auto _ : state) {
    textio::parse_e_field(fields[k++ % 4], 5, value);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_ParseEField);

}  // namespace
