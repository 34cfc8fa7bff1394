// The launcher that starts a batch's runs: each run ends with what it said;
// a signal reaches the runs going; a launcher that has ended loses only the
// runs it had going, which end failed and say so, and the next start makes
// a new launcher; every run holds the report's lock until it ends.
#include "batch/launcher.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "run_program.hpp"

namespace {

namespace fs = std::filesystem;

class Launcher : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(workdir() / "FITS");
    fs::create_directories(scratch_.path() / "report" / "runs");
    ::pthread_sigmask(SIG_SETMASK, nullptr, &mask_);
  }
  // A run still waiting for its input gets the input's end and ends.
  void TearDown() override {
    for (const fs::path& fifo : fifos_) {
      const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) ::close(writer);
    }
  }
  fs::path workdir() const { return scratch_.path() / "run"; }
  std::string output(const std::string& scenario) const {
    return (scratch_.path() / "report" / "runs" / ("c12," + scenario + ",allgas")).string();
  }
  // The first input of c12 at `scenario` as a FIFO: its run waits in the
  // open until a writer comes.
  fs::path waiting_input(const std::string& scenario) {
    const fs::path dir = scratch_.path() / "INPUTS_ODE" / "5days" / (scenario + "_aer.c12");
    fs::create_directories(dir);
    const fs::path fifo = dir / "aer.precursor";
    EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fifos_.push_back(fifo);
    return fifo;
  }
  // The endings of `count` runs, by id; fewer when they do not come within
  // a minute.
  std::map<std::uint64_t, batch::RunEnding> endings(batch::Launcher& launcher, std::size_t count) {
    std::map<std::uint64_t, batch::RunEnding> ended;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (ended.size() < count && std::chrono::steady_clock::now() < deadline) {
      for (batch::Launcher::Ended& e : launcher.collect()) ended[e.id] = std::move(e.ending);
      pollfd fd{launcher.fd(), POLLIN, 0};
      if (ended.size() < count) ::poll(&fd, 1, 100);
    }
    return ended;
  }

  testsupport::ScratchDir scratch_;
  sigset_t mask_{};
  std::vector<fs::path> fifos_;
};

TEST_F(Launcher, EachRunEndsWithWhatItSaid) {
  batch::Launcher launcher;
  ASSERT_EQ(launcher.open(workdir().string(), mask_), 0);
  for (std::uint64_t id : {7, 8, 9}) {
    const std::string scenario = "0." + std::to_string(id);
    ASSERT_EQ(launcher.start(id, {"c12", scenario, "allgas"}, config::other_species(), output(scenario)), 0);
  }
  const auto ended = endings(launcher, 3);
  ASSERT_EQ(ended.size(), 3u);
  for (const auto& [id, ending] : ended) {
    SCOPED_TRACE(id);
    EXPECT_TRUE(ending.started);
    EXPECT_FALSE(ending.succeeded);
    EXPECT_EQ(ending.exit_status, 29);
    EXPECT_EQ(ending.message, "forrtl: severe (29): file not found, unit 20, file " +
                                  workdir().string() + "/../INPUTS_ODE/5days/0." +
                                  std::to_string(id) + "_aer.c12/aer.precursor");
    const std::string scenario = "0." + std::to_string(id);
    EXPECT_TRUE(fs::exists(output(scenario) + ".stdout"));
    EXPECT_TRUE(fs::exists(output(scenario) + ".stderr"));
  }
}

TEST_F(Launcher, ASignalPassedOnEndsTheRunsGoing) {
  waiting_input("0.5");
  batch::Launcher launcher;
  ASSERT_EQ(launcher.open(workdir().string(), mask_), 0);
  ASSERT_EQ(launcher.start(1, {"c12", "0.5", "allgas"}, config::other_species(), output("0.5")), 0);
  launcher.signal(SIGTERM);
  const auto ended = endings(launcher, 1);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_TRUE(ended.at(1).started);
  EXPECT_FALSE(ended.at(1).succeeded);
}

TEST_F(Launcher, ALauncherThatEndsLosesOnlyItsRunsAndIsMadeAgain) {
  const fs::path fifo = waiting_input("0.5");
  batch::Launcher launcher;
  ASSERT_EQ(launcher.open(workdir().string(), mask_), 0);
  ASSERT_EQ(launcher.start(1, {"c12", "0.5", "allgas"}, config::other_species(), output("0.5")), 0);
  ASSERT_GT(launcher.pid(), 0);
  ASSERT_EQ(::kill(launcher.pid(), SIGKILL), 0);
  const auto lost = endings(launcher, 1);
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_FALSE(lost.at(1).succeeded);
  EXPECT_EQ(lost.at(1).message,
            "vbsfit-batch: lost track of the run: the process that started it ended by signal 9 "
            "(Killed)");
  // The orphaned run gets its input's end and ends on its own.
  const int writer = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  ::close(writer);

  ASSERT_EQ(launcher.start(2, {"c12", "0.6", "allgas"}, config::other_species(), output("0.6")), 0);
  const auto ended = endings(launcher, 1);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended.at(2).exit_status, 29);
}

// Whether another open of `file` can take its lock now.
bool lock_free(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (fd >= 0) ::close(fd);
  return free;
}

TEST_F(Launcher, ARunHoldsTheLockItWasGivenUntilItEndsEvenWithoutItsLauncher) {
  const fs::path lock_file = scratch_.path() / "report" / ".vbsfit-batch.lock";
  int lock = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  const fs::path fifo = waiting_input("0.5");
  {
    batch::Launcher launcher;
    launcher.share_lock(lock);
    ASSERT_EQ(launcher.open(workdir().string(), mask_), 0);
    // The run comes from a launcher made again: it has the lock as well.
    ASSERT_EQ(::kill(launcher.pid(), SIGKILL), 0);
    while (launcher.is_open()) {
      pollfd fd{launcher.fd(), POLLIN, 0};
      ::poll(&fd, 1, 100);
      launcher.collect();
    }
    ASSERT_EQ(launcher.start(1, {"c12", "0.5", "allgas"}, config::other_species(), output("0.5")), 0);
    ASSERT_EQ(::kill(launcher.pid(), SIGKILL), 0);
  }
  ::close(lock);
  // Only the run, orphaned and waiting for its input, holds it now.
  EXPECT_FALSE(lock_free(lock_file));
  const int writer = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  ::close(writer);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!lock_free(lock_file) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(lock_free(lock_file));
}

}  // namespace
