#include "batch/child_run.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "batch/files.hpp"
#include "batch/report_layout.hpp"
#include "batch/run_inputs.hpp"
#include "diagnostics/signals.hpp"
#include "driver/main_program.hpp"

namespace batch {
namespace {

// Exit status of a child that could not even start its run.
constexpr int kChildSetupFailed = 127;

// What the child hands the batch on its setup descriptor when it cannot
// start: the errno, then the message.
constexpr std::size_t kErrorBytes = sizeof(int);

std::string trim_blanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

// Ends the child with "vbsfit-batch: <action> <path>: <why>" for the batch.
[[noreturn]] void give_up(int setup_fd, const char* action, const std::string& path) {
  const int error = errno;
  std::string report(reinterpret_cast<const char*>(&error), kErrorBytes);
  report += "vbsfit-batch: " + std::string(action) + " " + path + ": " + std::strerror(error);
  write_all(setup_fd, report);
  ::_exit(kChildSetupFailed);
}

// Standard input from /dev/null: the run reads nothing there, and parallel
// runs must not compete for a terminal.
void detach_standard_input() {
  const int in = ::open("/dev/null", O_RDONLY);
  if (in >= 0 && in != STDIN_FILENO) {
    ::dup2(in, STDIN_FILENO);
    ::close(in);
  }
}

// In the child: become the run of `config`. Its files are made here, many
// at once on a slow file system and never in the batch's way. Never returns.
[[noreturn]] void run_child(const Configuration& config, const config::SpeciesRow& species,
                            const std::string& output,
                            const std::string& workdir, int setup_fd, int stderr_fd,
                            const sigset_t& child_mask, const std::vector<int>& inherited) {
  // The batch's own descriptors are none of the run's business.
  for (int fd : inherited) ::close(fd);
  const std::string out_path = output + kStdoutSuffix, err_path = output + kStderrSuffix;
  int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0 && errno == ENOENT) {
    const std::string directory = output.substr(0, output.rfind('/'));
    if (!make_directories(directory)) give_up(setup_fd, "cannot create", directory);
    out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  }
  if (out < 0) give_up(setup_fd, "cannot create", out_path);
  // What an earlier run of this configuration left must not pass for this one's.
  if (::unlink(err_path.c_str()) != 0 && errno != ENOENT) {
    give_up(setup_fd, "cannot remove", err_path);
  }
  detach_standard_input();
  if (::chdir(workdir.c_str()) != 0) {
    give_up(setup_fd, "cannot enter the working directory", workdir);
  }
  ::close(setup_fd);
  ::dup2(out, STDOUT_FILENO);
  ::dup2(stderr_fd, STDERR_FILENO);
  ::close(out);
  ::close(stderr_fd);
  diagnostics::install_signal_handlers();
  ::sigprocmask(SIG_SETMASK, &child_mask, nullptr);
  if (input_source().format != config::InputFormat::fixed) {
    run_from_file(input_source(), RunEntry(0, config, "", {species, SpeciesSource::none}));
  }
  driver::main_program({config.species, config.scenario, config.tag, &species});
}

}  // namespace

bool for_want_of_resource(int error) {
  return error == EMFILE || error == ENFILE || error == EAGAIN || error == ENOMEM;
}

int start_run(const Configuration& config, const config::SpeciesRow& species,
              const std::string& output,
              const std::string& workdir, const sigset_t& child_mask,
              const std::vector<int>& inherited, ChildRun& run) {
  // A memory file holds standard error: most runs write nothing there, and
  // an empty file would cost a file system one more inode per run.
  const int err = ::memfd_create("stderr", MFD_CLOEXEC);
  if (err < 0) return errno;
  int setup[2] = {-1, -1};
  if (::pipe2(setup, O_CLOEXEC) != 0) {
    const int error = errno;
    ::close(err);
    return error;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(setup[0]);
    run_child(config, species, output, workdir, setup[1], err, child_mask, inherited);
  }
  const int error = errno;
  ::close(setup[1]);
  if (pid < 0) {
    ::close(setup[0]);
    ::close(err);
    return error;
  }
  run = {pid, setup[0], err, std::chrono::steady_clock::now()};
  return 0;
}

RunEnding finish_run(ChildRun& run, int wait_status, const std::string& output) {
  RunEnding ending;
  ending.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - run.start).count();
  const std::string setup_failure = read_all(run.setup_fd);
  ::lseek(run.stderr_fd, 0, SEEK_SET);
  const std::string err = read_all(run.stderr_fd);
  ::close(run.setup_fd);
  ::close(run.stderr_fd);
  run.setup_fd = run.stderr_fd = -1;
  if (!setup_failure.empty()) {
    ending.started = false;
    if (setup_failure.size() > kErrorBytes) {
      std::memcpy(&ending.setup_error, setup_failure.data(), kErrorBytes);
      ending.message = setup_failure.substr(kErrorBytes);
    } else {
      ending.message = "vbsfit-batch: the run could not start";
    }
    return ending;
  }
  if (!err.empty()) {
    if (std::string why = write_file_atomically(output + kStderrSuffix, err); !why.empty()) {
      ending.note = "vbsfit-batch: its standard error was not kept: " + why;
    }
  }
  ending.succeeded = WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
  ending.exit_status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status)
                                                : 128 + WTERMSIG(wait_status);
  if (ending.succeeded) return ending;
  ending.message = failure_message(output + kStdoutSuffix, err, wait_status);
  return ending;
}

std::string ending_text(int wait_status) {
  if (WIFSIGNALED(wait_status)) {
    const int signal = WTERMSIG(wait_status);
    return "ended by signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ")";
  }
  return "ended with exit status " + std::to_string(WEXITSTATUS(wait_status));
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
