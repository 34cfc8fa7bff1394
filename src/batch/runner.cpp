#include "batch/runner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <csignal>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>

#include "batch/analysis.hpp"
#include "batch/fit_dump.hpp"
#include "batch/species_table.hpp"
#include "batch/tables.hpp"
#include "batch/workers.hpp"
#include "config/config.hpp"
#include "diagnostics/signals.hpp"
#include "driver/main_program.hpp"

namespace batch {
namespace {

using Clock = std::chrono::steady_clock;

// Exit status of a child that could not even start its run.
constexpr int kChildSetupFailed = 127;
// How often the progress line is redrawn while nothing else happens, and
// how often at most while runs finish in quick succession.
constexpr int kProgressTickMilliseconds = 500;
// The process name of the workers that analyse the fits.
constexpr const char* kAnalysisProcessName = "vbsfit-analysis";
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

std::string read_end(const std::string& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = in.tellg();
  if (size <= 0) return {};
  const std::streamoff from = size > static_cast<std::streamoff>(limit) ? size - limit : 0;
  in.seekg(from);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string trim_blanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// What is left to read from `fd`, up to its end.
std::string read_all(int fd) {
  std::string text;
  char buffer[512];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

std::string join(const std::string& directory, const std::string& name) {
  return directory + "/" + name;
}

// Writes all of `text` to `fd`; for the child's own last words.
void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t wrote = ::write(fd, text.data(), text.size());
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(wrote));
  }
}

// Creates `path` and the directories above it that are missing; another
// child creating one of them at the same time is no failure. Tried from the
// deepest level up, since most of the path exists already.
bool make_directories(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return true;
  if (errno != ENOENT) return false;
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return false;
  if (!make_directories(path.substr(0, slash))) return false;
  return ::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

// In the child: become the run of `config`, exactly as vbsfit built for it
// runs in the working directory, with its standard output and the record of
// its fit in `directory` and its standard error in the memory file
// `stderr_fd`, which the batch keeps in `directory` when the run writes to
// it. What keeps it from starting is written to `setup_fd` for the batch to
// report. Never returns.
[[noreturn]] void run_child(const Configuration& config, const std::string& directory,
                            const std::string& workdir, int setup_fd, int stderr_fd,
                            const sigset_t& original_mask, const std::vector<int>& inherited) {
  // The batch's own descriptors are none of the run's business.
  for (int fd : inherited) ::close(fd);
  // Ends the child with "<action> <path>[/<name>]: <why>" for the batch.
  auto give_up = [setup_fd](const char* action, const std::string& path,
                            const char* name = nullptr) {
    const int error = errno;
    const std::string what = std::string(action) + " " + (name ? join(path, name) : path);
    write_all(setup_fd, "vbsfit-batch: " + what + ": " + std::strerror(error));
    ::_exit(kChildSetupFailed);
  };
  if (!make_directories(directory)) give_up("cannot create", directory);
  const int directory_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory_fd < 0) give_up("cannot open", directory);
  const int output =
      ::openat(directory_fd, kStdoutName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (output < 0) give_up("cannot create", directory, kStdoutName);
  // What an earlier run of this configuration left must not pass for this one's.
  if (::unlinkat(directory_fd, kStderrName, 0) != 0 && errno != ENOENT) {
    give_up("cannot remove", directory, kStderrName);
  }
  // The run reads nothing from standard input, and parallel runs must not
  // compete for a terminal.
  const int in = ::open("/dev/null", O_RDONLY);
  if (in >= 0 && in != STDIN_FILENO) {
    ::dup2(in, STDIN_FILENO);
    ::close(in);
  }
  if (::chdir(workdir.c_str()) != 0) give_up("cannot enter the working directory", workdir);
  ::close(setup_fd);
  ::dup2(output, STDOUT_FILENO);
  ::dup2(stderr_fd, STDERR_FILENO);
  ::close(output);
  ::close(stderr_fd);
  diagnostics::install_signal_handlers();
  ::sigprocmask(SIG_SETMASK, &original_mask, nullptr);
  FitDumpWriter writer(directory_fd, config);
  driver::main_program(
      {config.species, config.scenario, config.tag, file_species_row(config.species)}, &writer);
}

std::string clock_text(double seconds) {
  const long total = static_cast<long>(seconds + 0.5);
  const long hours = total / 3600, minutes = total / 60 % 60, secs = total % 60;
  char text[32];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", hours, minutes, secs);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", minutes, secs);
  }
  return text;
}

// What ended a child that did not exit with status 0, in words.
std::string ending_text(int wait_status) {
  if (WIFSIGNALED(wait_status)) {
    const int signal = WTERMSIG(wait_status);
    return "ended by signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ")";
  }
  return "ended with exit status " + std::to_string(WEXITSTATUS(wait_status));
}

class Runner {
 public:
  Runner(const std::vector<RunEntry>& entries, const RunnerSettings& settings)
      : entries_(entries),
        settings_(settings),
        started_(Clock::now()),
        analysts_(kAnalysisProcessName, [this](std::uint64_t job) { return analyse(job); }) {
    result_.outcomes.resize(entries.size());
  }

  BatchResult run();

 private:
  struct Child {
    std::size_t index;
    pid_t pid;
    int setup_fd;   // what kept the run from starting, if anything
    int stderr_fd;  // the run's standard error, in memory
    Clock::time_point start;
  };

  std::string results_file(const Configuration& c) const {
    return join(settings_.workdir, config::results_path(c.species, c.scenario, c.tag));
  }
  std::string directory(std::size_t index) const {
    return run_directory(settings_.report, entries_[index].config);
  }
  // The batch's descriptors that a child closes.
  std::vector<int> inherited() const;
  void launch(std::size_t index);
  void launch_analysis(std::size_t index);
  // In an analysing worker: the analysis of a job (an entry's index, twice,
  // plus 1 for a kept one), encoded.
  std::string analyse(std::uint64_t job) const;
  // The children that have ended, with their wait status; no longer running.
  std::vector<std::pair<Child, int>> reap_finished();
  void finish(const Child& child, int wait_status);
  void finish_analysis(const WorkerPool::Result& result);
  // Sets the note of an entry whose fit has no numbers.
  void note_missing_numbers(std::size_t index, const std::string& why);
  // Waits until a child ends, an analysis comes or a signal that stops the
  // batch arrives (or, with progress shown, a tick has passed).
  void wait();
  // Takes the signals that have come; those that stop the batch stop it.
  void take_signals();
  void stop(int signal);
  void show_progress(bool final);

  const std::vector<RunEntry>& entries_;
  const RunnerSettings& settings_;
  BatchResult result_;
  std::vector<Child> running_;
  std::deque<std::size_t> unanalysed_;  // runs that succeeded, waiting for a slot
  sigset_t original_mask_{};
  int signal_fd_ = -1;  // the signals the batch waits for
  Clock::time_point started_;
  Clock::time_point drawn_{};  // when the progress line was last drawn
  int to_run_ = 0;   // configurations to fit
  int ran_ = 0;      // of these, finished
  int failed_ = 0;
  int kept_ = 0;
  WorkerPool analysts_;
};

std::vector<int> Runner::inherited() const {
  std::vector<int> fds = analysts_.descriptors();
  fds.push_back(signal_fd_);
  for (const Child& child : running_) {
    fds.push_back(child.setup_fd);
    fds.push_back(child.stderr_fd);
  }
  return fds;
}

void Runner::launch(std::size_t index) {
  // The child creates its directory and files itself: many at once on a
  // slow file system, and never in the batch's way.
  int setup[2] = {-1, -1};
  pid_t pid = -1;
  // A memory file holds standard error: most runs write nothing there, and
  // an empty file would cost a file system one more inode per run.
  const int err = ::memfd_create(kStderrName, MFD_CLOEXEC);
  if (err >= 0 && ::pipe2(setup, O_CLOEXEC) == 0) {
    const std::vector<int> fds = inherited();
    pid = ::fork();
    if (pid == 0) {
      ::close(setup[0]);
      run_child(entries_[index].config, directory(index), settings_.workdir, setup[1], err,
                original_mask_, fds);
    }
    ::close(setup[1]);
  }
  if (pid < 0) {
    const int error = errno;
    for (int fd : {setup[0], err}) {
      if (fd >= 0) ::close(fd);
    }
    errno = error;
  }
  if (pid < 0) {
    Outcome& outcome = result_.outcomes[index];
    outcome.state = State::failed;
    outcome.message = std::string("vbsfit-batch: cannot start a run: ") + std::strerror(errno);
    ++ran_;
    ++failed_;
    return;
  }
  running_.push_back({index, pid, setup[0], err, Clock::now()});
}

void Runner::launch_analysis(std::size_t index) {
  const bool kept = result_.outcomes[index].state == State::kept;
  const std::string why = analysts_.start(2 * std::uint64_t{index} + (kept ? 1 : 0), inherited());
  if (!why.empty()) note_missing_numbers(index, "cannot start its analysis: " + why);
}

std::string Runner::analyse(std::uint64_t job) const {
  const std::size_t index = static_cast<std::size_t>(job / 2);
  const Configuration& c = entries_[index].config;
  const std::string results = results_file(c);
  return encode(analyze(settings_.report, c, settings_.se_limit,
                        job % 2 == 1 ? &results : nullptr, settings_.pages));
}

void Runner::note_missing_numbers(std::size_t index, const std::string& why) {
  Outcome& outcome = result_.outcomes[index];
  if (outcome.state == State::kept) {
    outcome.message = "kept: " + why;
    return;
  }
  outcome.message = "vbsfit-batch: the fit's numbers were not recorded: " + why;
  ++failed_;
}

void Runner::finish(const Child& child, int wait_status) {
  Outcome& outcome = result_.outcomes[child.index];
  outcome.seconds = std::chrono::duration<double>(Clock::now() - child.start).count();
  ++ran_;
  const std::string dir = directory(child.index);
  const std::string setup_failure = read_all(child.setup_fd);
  ::close(child.setup_fd);
  ::lseek(child.stderr_fd, 0, SEEK_SET);
  const std::string err = read_all(child.stderr_fd);
  ::close(child.stderr_fd);
  if (!err.empty() && setup_failure.empty()) {
    if (std::string why = write_file_atomically(join(dir, kStderrName), err); !why.empty()) {
      outcome.message = "vbsfit-batch: its standard error was not kept: " + why;
    }
  }
  if (!setup_failure.empty()) {
    outcome.state = State::failed;
    outcome.message = setup_failure;
    ++failed_;
    return;
  }
  if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0) {
    outcome.state = State::succeeded;
    outcome.exit_status = 0;
    unanalysed_.push_back(child.index);
    return;
  }
  outcome.exit_status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status)
                                                 : 128 + WTERMSIG(wait_status);
  outcome.state = result_.stop_signal != 0 ? State::interrupted : State::failed;
  outcome.message = failure_message(join(dir, kStdoutName), err, wait_status);
  // Only a run that succeeded leaves a record of its fit.
  ::unlink(join(dir, kFitDumpName).c_str());
  if (outcome.state == State::failed) ++failed_;
}

void Runner::finish_analysis(const WorkerPool::Result& result) {
  const std::size_t index = static_cast<std::size_t>(result.job / 2);
  Outcome& outcome = result_.outcomes[index];
  Analysis analysis;
  if (!result.done || !decode(result.bytes, analysis)) {
    note_missing_numbers(index, "its analysis " + ending_text(result.wait_status));
    return;
  }
  if (!analysis.numbers) {
    if (outcome.state == State::kept) {
      outcome.message = analysis.note;  // says "kept: " and why
    } else {
      note_missing_numbers(index, analysis.note);
    }
    return;
  }
  outcome.numbers = analysis.numbers;
  outcome.page = analysis.page;
  if (result_.page_error.empty()) result_.page_error = analysis.error;
}

std::vector<std::pair<Runner::Child, int>> Runner::reap_finished() {
  std::vector<std::pair<Child, int>> ended;
  for (std::size_t n = 0; n < running_.size();) {
    int status = 0;
    if (::waitpid(running_[n].pid, &status, WNOHANG) == running_[n].pid) {
      ended.emplace_back(running_[n], status);
      running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(n));
    } else {
      ++n;
    }
  }
  return ended;
}

void Runner::wait() {
  std::vector<pollfd> fds = {{signal_fd_, POLLIN, 0}};
  analysts_.add_poll_fds(fds);
  const int tick = settings_.progress ? kProgressTickMilliseconds : -1;
  if (::poll(fds.data(), fds.size(), tick) > 0 && (fds[0].revents & POLLIN) != 0) take_signals();
}

void Runner::take_signals() {
  signalfd_siginfo info;
  while (::read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    const int signal = static_cast<int>(info.ssi_signo);
    if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP) stop(signal);
  }
}

void Runner::stop(int signal) {
  if (result_.stop_signal == 0) result_.stop_signal = signal;
  for (const Child& child : running_) ::kill(child.pid, signal);
}

void Runner::show_progress(bool final) {
  if (!settings_.progress) return;
  const Clock::time_point now = Clock::now();
  if (!final && now - drawn_ < kProgressInterval) return;
  drawn_ = now;
  std::string line = "\r";
  if (!final) {
    const double elapsed = std::chrono::duration<double>(now - started_).count();
    line += "vbsfit-batch: " + std::to_string(ran_ + kept_) + "/" +
            std::to_string(entries_.size()) + " done, " + std::to_string(failed_) +
            " failed, " + clock_text(elapsed) + " elapsed";
    if (ran_ > 0 && ran_ < to_run_) {
      line += ", about " + clock_text(elapsed / ran_ * (to_run_ - ran_)) + " left";
    }
    if (result_.stop_signal != 0) line += ", stopping";
  }
  line += "\x1b[K";  // clears what a longer line left
  write_all(STDERR_FILENO, line);
}

BatchResult Runner::run() {
  // The runner waits for its children, its analyses and the signals that
  // stop it in one place: the signals stay blocked and are read from a
  // signalfd. A signal the batch was started with ignored stays out, as it
  // does for vbsfit.
  sigset_t waited;
  sigemptyset(&waited);
  sigaddset(&waited, SIGCHLD);
  sigaddset(&waited, SIGTERM);
  for (int signal : {SIGINT, SIGHUP}) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&waited, signal);
  }
  // Children that are reaped automatically could not be waited for.
  struct sigaction child_default {}, child_saved {};
  child_default.sa_handler = SIG_DFL;
  sigemptyset(&child_default.sa_mask);
  ::sigaction(SIGCHLD, &child_default, &child_saved);
  ::sigprocmask(SIG_BLOCK, &waited, &original_mask_);
  signal_fd_ = ::signalfd(-1, &waited, SFD_NONBLOCK | SFD_CLOEXEC);

  // Configurations to fit and kept ones to analyse, in run-set order.
  std::vector<std::size_t> queue;
  for (std::size_t n = 0; n < entries_.size(); ++n) {
    const Configuration& c = entries_[n].config;
    if (path_exists(results_file(c))) {
      result_.outcomes[n].state = State::kept;
      ++kept_;
    } else {
      ++to_run_;
    }
    queue.push_back(n);
  }
  if (signal_fd_ < 0) {  // nothing can start
    const std::string why = std::strerror(errno);
    for (std::size_t n : queue) {
      if (result_.outcomes[n].state == State::kept) {
        note_missing_numbers(n, "cannot start its analysis: " + why);
      } else {
        result_.outcomes[n].state = State::failed;
        result_.outcomes[n].message = "vbsfit-batch: cannot start a run: " + why;
        ++failed_;
      }
    }
    queue.clear();
  }

  std::size_t next = 0;
  show_progress(false);
  for (;;) {
    for (const auto& [child, status] : reap_finished()) finish(child, status);
    for (const WorkerPool::Result& result : analysts_.collect()) finish_analysis(result);
    // The analyses of finished runs first; once the batch is stopping, no
    // more runs, but the kept configurations' numbers still belong in the
    // tables.
    while (static_cast<int>(running_.size()) + analysts_.busy() < settings_.jobs) {
      if (!unanalysed_.empty()) {
        launch_analysis(unanalysed_.front());
        unanalysed_.pop_front();
        continue;
      }
      while (result_.stop_signal != 0 && next < queue.size() &&
             result_.outcomes[queue[next]].state != State::kept) {
        ++next;
      }
      if (next == queue.size()) break;
      const std::size_t n = queue[next++];
      if (result_.outcomes[n].state == State::kept) {
        launch_analysis(n);
      } else {
        launch(n);
      }
    }
    if (running_.empty() && analysts_.busy() == 0) break;
    show_progress(false);
    wait();
  }
  analysts_.close();
  show_progress(true);

  // An interrupt that came while the last ones were analysed still counts.
  if (signal_fd_ >= 0) {
    take_signals();
    ::close(signal_fd_);
  }
  ::sigprocmask(SIG_SETMASK, &original_mask_, nullptr);
  ::sigaction(SIGCHLD, &child_saved, nullptr);
  return std::move(result_);
}

}  // namespace

BatchResult run_configurations(const std::vector<RunEntry>& entries,
                               const RunnerSettings& settings) {
  return Runner(entries, settings).run();
}

std::string failure_message(const std::string& stdout_file, std::string_view err,
                            int wait_status) {
  constexpr std::size_t kLineLimit = 4096;  // more than any message the run writes
  if (!err.empty()) return std::string(err.substr(0, std::min(err.find('\n'), kLineLimit)));
  if (WIFSIGNALED(wait_status)) return ending_text(wait_status);
  std::string out = read_end(stdout_file, kLineLimit);
  while (!out.empty()) {
    if (out.back() == '\n') out.pop_back();
    const std::size_t start = out.rfind('\n');
    const std::string line = trim_blanks(out.substr(start == std::string::npos ? 0 : start + 1));
    if (!line.empty()) return line;
    out.resize(start == std::string::npos ? 0 : start);
  }
  return "exit status " + std::to_string(WEXITSTATUS(wait_status)) + " without a message";
}

}  // namespace batch
