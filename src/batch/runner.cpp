#include "batch/runner.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>

#include "batch/fit_dump.hpp"
#include "batch/tables.hpp"
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
constexpr long kProgressTickNanoseconds = 500'000'000;
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

std::string read_start(const std::string& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  std::string text(limit, '\0');
  in.read(text.data(), static_cast<std::streamsize>(limit));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

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
// runs in the working directory, with its standard output, standard error
// and the record of its fit in `directory`. What keeps it from starting is
// written to `setup_fd` for the batch to report. Never returns.
[[noreturn]] void run_child(const Configuration& config, const std::string& directory,
                            const std::string& workdir, int setup_fd,
                            const sigset_t& original_mask) {
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
  int output[2];  // standard output and standard error
  const char* const names[2] = {"stdout", "stderr"};
  for (int n = 0; n < 2; ++n) {
    output[n] = ::openat(directory_fd, names[n], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (output[n] < 0) give_up("cannot create", directory, names[n]);
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
  ::dup2(output[0], STDOUT_FILENO);
  ::dup2(output[1], STDERR_FILENO);
  ::close(output[0]);
  ::close(output[1]);
  diagnostics::install_signal_handlers();
  ::sigprocmask(SIG_SETMASK, &original_mask, nullptr);
  FitDumpWriter writer(directory_fd, config);
  driver::main_program({config.species, config.scenario, config.tag}, &writer);
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

class Runner {
 public:
  Runner(const std::vector<RunEntry>& entries, const RunnerSettings& settings)
      : entries_(entries), settings_(settings), started_(Clock::now()) {
    result_.outcomes.resize(entries.size());
  }

  BatchResult run();

 private:
  struct Child {
    std::size_t index;
    pid_t pid;
    int setup_fd;  // what kept the run from starting, if anything
    Clock::time_point start;
  };

  std::string results_file(const Configuration& c) const {
    return join(settings_.workdir, config::results_path(c.species, c.scenario, c.tag));
  }
  std::string directory(std::size_t index) const {
    return run_directory(settings_.report, entries_[index].config);
  }
  void launch(std::size_t index);
  // The children that have ended, with their wait status; no longer running.
  std::vector<std::pair<Child, int>> reap_finished();
  void finish(const Child& child, int wait_status);
  void stop(int signal);
  void show_progress(bool final);

  const std::vector<RunEntry>& entries_;
  const RunnerSettings& settings_;
  BatchResult result_;
  std::vector<Child> running_;
  sigset_t original_mask_{};
  Clock::time_point started_;
  Clock::time_point drawn_{};  // when the progress line was last drawn
  int to_run_ = 0;   // configurations to fit
  int ran_ = 0;      // of these, finished
  int failed_ = 0;
  int kept_ = 0;
};

void Runner::launch(std::size_t index) {
  // The child creates its directory and files itself: many at once on a
  // slow file system, and never in the batch's way.
  int setup[2];
  pid_t pid = -1;
  if (::pipe2(setup, O_CLOEXEC) == 0) {
    pid = ::fork();
    if (pid == 0) {
      ::close(setup[0]);
      run_child(entries_[index].config, directory(index), settings_.workdir, setup[1],
                original_mask_);
    }
    ::close(setup[1]);
  }
  if (pid < 0) {
    Outcome& outcome = result_.outcomes[index];
    outcome.state = State::failed;
    outcome.message = std::string("vbsfit-batch: cannot start a run: ") + std::strerror(errno);
    ++ran_;
    ++failed_;
    return;
  }
  running_.push_back({index, pid, setup[0], Clock::now()});
}

void Runner::finish(const Child& child, int wait_status) {
  Outcome& outcome = result_.outcomes[child.index];
  outcome.seconds = std::chrono::duration<double>(Clock::now() - child.start).count();
  ++ran_;
  const std::string dir = directory(child.index);
  const std::string setup_failure = read_all(child.setup_fd);
  ::close(child.setup_fd);
  if (!setup_failure.empty()) {
    outcome.state = State::failed;
    outcome.message = setup_failure;
    ++failed_;
    return;
  }
  if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0) {
    outcome.state = State::succeeded;
    outcome.exit_status = 0;
    FitDump dump;
    std::string problem = read_fit_dump(join(dir, kFitDumpName), entries_[child.index].config, dump);
    if (problem.empty()) {
      outcome.numbers = fit_numbers(dump, settings_.se_limit);
    } else {
      outcome.message = "vbsfit-batch: the fit's numbers were not recorded: " + problem;
      ++failed_;
    }
    return;
  }
  outcome.exit_status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status)
                                                 : 128 + WTERMSIG(wait_status);
  outcome.state = result_.stop_signal != 0 ? State::interrupted : State::failed;
  outcome.message = failure_message(join(dir, "stdout"), join(dir, "stderr"), wait_status);
  // Only a run that succeeded leaves a record of its fit.
  ::unlink(join(dir, kFitDumpName).c_str());
  if (outcome.state == State::failed) ++failed_;
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
  // The runner waits for its children and for the signals that stop it in
  // one place: they stay blocked and are taken with sigtimedwait. A signal
  // the batch was started with ignored stays out, as it does for vbsfit.
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

  std::vector<std::size_t> queue;
  for (std::size_t n = 0; n < entries_.size(); ++n) {
    const Configuration& c = entries_[n].config;
    if (path_exists(results_file(c))) {
      result_.outcomes[n].state = State::kept;
      ++kept_;
    } else {
      queue.push_back(n);
    }
  }
  to_run_ = static_cast<int>(queue.size());

  std::size_t next = 0;
  std::vector<std::pair<Child, int>> ended;
  show_progress(false);
  for (;;) {
    // Free slots are filled before the ended runs' records are read, so that
    // no slot waits for the batch's own work.
    while (result_.stop_signal == 0 && static_cast<int>(running_.size()) < settings_.jobs &&
           next < queue.size()) {
      launch(queue[next++]);
    }
    for (const auto& [child, status] : ended) finish(child, status);
    ended.clear();
    if (running_.empty()) break;
    show_progress(false);
    const timespec tick = {0, kProgressTickNanoseconds};
    const int signal = ::sigtimedwait(&waited, nullptr, settings_.progress ? &tick : nullptr);
    if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP) stop(signal);
    ended = reap_finished();
  }
  show_progress(true);

  for (std::size_t n = 0; n < entries_.size(); ++n) {
    if (result_.outcomes[n].state != State::kept) continue;
    const Configuration& c = entries_[n].config;
    result_.outcomes[n] =
        keep(results_file(c), join(directory(n), kFitDumpName), c, settings_.se_limit);
  }
  // An interrupt that came while the kept ones were read still counts.
  sigdelset(&waited, SIGCHLD);
  const timespec now = {0, 0};
  if (const int signal = ::sigtimedwait(&waited, nullptr, &now); signal > 0) stop(signal);
  ::sigprocmask(SIG_SETMASK, &original_mask_, nullptr);
  ::sigaction(SIGCHLD, &child_saved, nullptr);
  return std::move(result_);
}

}  // namespace

BatchResult run_configurations(const std::vector<RunEntry>& entries,
                               const RunnerSettings& settings) {
  return Runner(entries, settings).run();
}

Outcome keep(const std::string& results_file, const std::string& dump_file,
             const Configuration& config, double se_limit) {
  Outcome outcome;
  outcome.state = State::kept;
  FitDump dump;
  if (!read_fit_dump(dump_file, config, dump).empty()) {
    outcome.message = "kept: no record of its fit in this report";
    return outcome;
  }
  FitNumbers numbers = fit_numbers(dump, se_limit);
  const std::vector<std::string> expected = results_records(numbers);
  std::vector<std::string> records;
  std::ifstream in(results_file, std::ios::binary);
  for (std::string line; std::getline(in, line);) records.push_back(line);
  const std::size_t header = 2;  // the title and column records
  bool same = records.size() == header + expected.size();
  for (std::size_t n = 0; same && n < expected.size(); ++n) {
    same = records[header + n] == expected[n];
  }
  if (!same) {
    outcome.message = "kept: the fit recorded in this report is not the one in its results file";
    return outcome;
  }
  outcome.numbers = std::move(numbers);
  return outcome;
}

std::string failure_message(const std::string& stdout_file, const std::string& stderr_file,
                            int wait_status) {
  constexpr std::size_t kLineLimit = 4096;  // more than any message the run writes
  const std::string err = read_start(stderr_file, kLineLimit);
  if (!err.empty()) return err.substr(0, err.find('\n'));
  if (WIFSIGNALED(wait_status)) {
    const int signal = WTERMSIG(wait_status);
    return "ended by signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ")";
  }
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
