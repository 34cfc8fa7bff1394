// Starting a run, as the batch grows with its study: one run that fails at
// once (its inputs are missing), started and waited for, while the process
// holds 0.5 MB or 500 MB of touched memory besides (a batch of about 100 or
// 100,000 configurations). `launcher`: started by the batch's launcher,
// made before the memory grew, as vbsfit-batch does; `fork`: a fork of the
// grown process itself, as it did before. The launcher's time should not
// depend on the size; the fork's grows with it (its page tables are copied).
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "batch/child_run.hpp"
#include "batch/launcher.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMegabyte = 1 << 20;

// A scratch working directory with FITS/ and a report's runs/ directory.
struct Scratch {
  fs::path root;
  Scratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/vbsfit-bench-launch-XXXXXX";
    root = ::mkdtemp(pattern.data());
    fs::create_directories(root / "run" / "FITS");
    fs::create_directories(root / "report" / "runs");
  }
  ~Scratch() { fs::remove_all(root); }
};

// Touched memory the size of a batch's data at `megabytes`.
std::unique_ptr<char[]> grown(std::size_t megabytes) {
  auto memory = std::make_unique<char[]>(megabytes * kMegabyte);
  std::memset(memory.get(), 1, megabytes * kMegabyte);
  return memory;
}

const batch::Configuration kFailing{"c12", "9.9999", "allgas"};

void BM_StartRun(benchmark::State& state) {
  const bool through_launcher = state.range(0) == 1;
  // state.range(1): the batch's size in tenths of a megabyte.
  const std::size_t megabytes = static_cast<std::size_t>(state.range(1)) / 10;
  Scratch scratch;
  const std::string workdir = (scratch.root / "run").string();
  const std::string output = (scratch.root / "report" / "runs" / "c12,9.9999,allgas").string();
  sigset_t mask;
  ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  batch::Launcher launcher;
  if (through_launcher && launcher.open(workdir, mask) != 0) {
    state.SkipWithError("no launcher");
    return;
  }
  const std::unique_ptr<char[]> memory = grown(megabytes);
  benchmark::DoNotOptimize(memory.get());
  std::uint64_t id = 0;
  for (auto _ : state) {
    if (through_launcher) {
      if (launcher.start(++id, kFailing, config::other_species(), output) != 0) {
        state.SkipWithError("cannot start");
        break;
      }
      while (launcher.collect().empty()) {
        pollfd fd{launcher.fd(), POLLIN, 0};
        ::poll(&fd, 1, -1);
      }
    } else {
      batch::ChildRun run;
      if (batch::start_run(kFailing, config::other_species(), output, workdir, mask, {}, run) != 0) {
        state.SkipWithError("cannot start");
        break;
      }
      int status = 0;
      ::waitpid(run.pid, &status, 0);
      benchmark::DoNotOptimize(batch::finish_run(run, status, output));
    }
  }
}
BENCHMARK(BM_StartRun)
    ->ArgNames({"launcher", "tenths_of_MB"})
    ->Args({1, 5})
    ->Args({1, 5000})
    ->Args({0, 5})
    ->Args({0, 5000})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
