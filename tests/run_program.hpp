// Test support: scratch directories, and running a built program or a piece
// of the program in a child process, so that the ways a run ends (exit
// status, signal, standard output, standard error, files) can be checked.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

// A fresh directory under TMPDIR (or /tmp), removed with its contents.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/vbsfit-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    char* made = ::mkdtemp(buf.data());
    path_ = made != nullptr ? fs::canonical(made) : fs::path();
  }
  ~ScratchDir() {
    std::error_code ec;
    // Make everything writable again so that read-only copies can be removed.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// Copies a tree and makes the copy writable by its owner.
inline void copy_tree(const fs::path& from, const fs::path& to) {
  fs::copy(from, to, fs::copy_options::recursive);
  for (auto& entry : fs::recursive_directory_iterator(to)) {
    fs::permissions(entry.path(), fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::add);
  }
}

// The lines of `text`, without their line feeds.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Rows 1 ... 6 of a results file or of a truth file that vbsgen writes
// (records 3 ... 8): the seven numbers of each target bin, VOC and VB1 ... VB6.
inline std::vector<std::vector<double>> coefficient_rows(const fs::path& file) {
  const std::vector<std::string> records = lines_of(read_file(file));
  std::vector<std::vector<double>> rows;
  for (std::size_t k = 2; k < 8 && k < records.size(); ++k) {
    std::istringstream fields(records[k]);
    std::vector<double> row;
    for (std::string field; fields >> field;) row.push_back(std::strtod(field.c_str(), nullptr));
    rows.push_back(row);
  }
  return rows;
}

// How many times `what` occurs in `text` (overlapping occurrences count).
inline int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct ProgramRun {
  int exit_status = -1;  // the exit status, or -1 when killed by a signal
  int signal = 0;        // the signal that ended it, if any
  std::string out;       // standard output
  std::string err;       // standard error

  std::string first_err_line() const { return err.substr(0, err.find('\n')); }
  std::vector<std::string> out_lines() const { return lines_of(out); }
};

// Waits for the child `pid` and records in `run` how it ended.
inline void wait_for_child(pid_t pid, ProgramRun& run) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
}

// Exit status of a child whose body returned instead of ending the run.
inline constexpr int kBodyReturned = 99;

// Runs `body` in a forked child with standard input from /dev/null and
// standard output and error captured, and reports how the child ended. Core
// dumps are off in the child: several endings abort.
template <typename Body>
ProgramRun run_in_child(Body&& body) {
  ScratchDir capture;
  std::string out_path = (capture.path() / "stdout").string();
  std::string err_path = (capture.path() / "stderr").string();
  pid_t pid = ::fork();
  if (pid == 0) {
    rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) ::_exit(127);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    std::forward<Body>(body)();
    ::_exit(kBodyReturned);
  }
  ProgramRun run;
  wait_for_child(pid, run);
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  return run;
}

// Runs `program` with `args` in `directory`, as a user would.
inline ProgramRun run_program(const std::string& program, const fs::path& directory,
                              const std::vector<std::string>& args = {}) {
  return run_in_child([&] {
    if (::chdir(directory.c_str()) != 0) ::_exit(127);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  });
}

// A built program of this project, e.g. binary("vbsfit_static").
inline std::string binary(const std::string& name) {
  return std::string(VBSFIT_BINARY_DIR) + "/" + name;
}

// Test data kept with the sources.
inline fs::path test_data(const std::string& relative) {
  return fs::path(VBSFIT_SOURCE_DIR) / "tests" / "data" / relative;
}

}  // namespace testsupport
