// Test support: standard output sent to /dev/null for the lifetime of the
// object, for code that writes a line per call (bvls) when thousands of calls
// would flood a test log or a benchmark report.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace testsupport {

class QuietStdout {
 public:
  QuietStdout() : saved_(::dup(STDOUT_FILENO)) {
    std::cout.flush();
    std::fflush(stdout);
    const int null_fd = ::open("/dev/null", O_WRONLY);
    ::dup2(null_fd, STDOUT_FILENO);
    ::close(null_fd);
  }
  ~QuietStdout() {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_;
};

}  // namespace testsupport
