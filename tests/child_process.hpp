// Test support: running a piece of the program in a forked child, so that
// the ways a run ends (exit status, signal, what reached standard output,
// standard error and the files) can be checked from the parent.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "run_program.hpp"

namespace testsupport {

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
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  return run;
}

}  // namespace testsupport
