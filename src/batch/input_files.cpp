#include "batch/input_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace batch {
namespace {

std::string read_descriptor(int fd, std::size_t limit, std::string& text) {
  text.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::strerror(errno);
    if (got == 0) return {};
    if (text.size() + static_cast<std::size_t>(got) > limit) {
      errno = EFBIG;
      return limit == kInputFileLimit
                 ? std::string("is larger than ") + kInputFileLimitText + ", the limit"
                 : "is larger than " + std::to_string(limit) + " bytes, the limit";
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace

std::string read_input_file(const std::string& path, std::size_t limit, std::string& text) {
  if (path == "-") return read_descriptor(STDIN_FILENO, limit, text);
  // O_NONBLOCK: opening a pipe that nobody writes must not hang; it is
  // cleared again before reading.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::strerror(errno);
  struct stat st {};
  std::string why;
  if (::fstat(fd, &st) != 0) {
    why = std::strerror(errno);
  } else if (S_ISDIR(st.st_mode)) {
    why = "is a directory";
    errno = EISDIR;
  } else if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) {
    why = "is not a regular file";
    errno = EINVAL;
  } else {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    why = read_descriptor(fd, limit, text);
  }
  const int error = errno;
  ::close(fd);
  errno = error;
  return why;
}

std::string report_path_fault(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return {};
  return "exists and is not a directory";
}

}  // namespace batch
