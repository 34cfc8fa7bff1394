#include "batch/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace batch {
namespace {

// Moves the parts' bytes in order through `transfer` (readv or writev).
template <typename Transfer>
bool transfer_parts(int fd, const std::vector<IoPart>& parts, Transfer transfer) {
  std::vector<iovec> io;
  for (const IoPart& p : parts) io.push_back({const_cast<void*>(p.data), p.bytes});
  std::size_t first = 0;
  while (first < io.size()) {
    const int count = static_cast<int>(std::min<std::size_t>(io.size() - first, IOV_MAX));
    const ssize_t moved = transfer(fd, io.data() + first, count);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) return false;
    // Step over what was moved, which may end inside a part.
    for (std::size_t done = static_cast<std::size_t>(moved); done > 0;) {
      const std::size_t step = std::min(done, io[first].iov_len);
      io[first].iov_base = static_cast<char*>(io[first].iov_base) + step;
      io[first].iov_len -= step;
      done -= step;
      if (io[first].iov_len == 0) ++first;
    }
    while (first < io.size() && io[first].iov_len == 0) ++first;
  }
  return true;
}

}  // namespace

std::string join(const std::string& directory, const std::string& name) {
  return directory + "/" + name;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string other_than_file(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return {};
  if (::stat(path.c_str(), &st) != 0) return "a link to nothing";
  if (S_ISREG(st.st_mode)) return {};
  if (S_ISDIR(st.st_mode)) return "a directory";
  if (S_ISFIFO(st.st_mode)) return "a FIFO";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  return "a device";
}

bool read_whole_file(const std::string& path, std::string& text) {
  return read_input_file(path == "-" ? "./-" : path, SIZE_MAX, text).empty();
}

std::string read_end(const std::string& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = in.tellg();
  if (size <= 0) return {};
  const std::streamoff from = size > static_cast<std::streamoff>(limit) ? size - limit : 0;
  in.seekg(from);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string sync_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  const bool synced = ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  return synced ? std::string() : std::strerror(error);
}

std::string write_file_atomically(const std::string& path, std::string_view content) {
  AtomicFile file(path);
  if (std::string error = file.open(); !error.empty()) return error;
  file.append(content);
  return file.commit();
}

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

std::string AtomicFile::open() {
  std::string temporary = path_ + ".XXXXXX";
  fd_ = ::mkstemp(temporary.data());
  if (fd_ < 0) {
    error_ = "cannot create a temporary file beside " + path_ + ": " + std::strerror(errno);
  } else {
    temporary_ = std::move(temporary);
  }
  return error_;
}

void AtomicFile::flush() {
  if (error_.empty() && fd_ >= 0 && !write_all(fd_, buffer_)) {
    error_ = "cannot write " + temporary_ + ": " + std::strerror(errno);
  }
  buffer_.clear();
}

void AtomicFile::append(std::string_view text) {
  if (!error_.empty()) return;
  if (buffer_.size() + text.size() > kBufferBytes) {
    flush();
    if (text.size() > kBufferBytes) {  // straight through, not copied
      if (error_.empty() && fd_ >= 0 && !write_all(fd_, text)) {
        error_ = "cannot write " + temporary_ + ": " + std::strerror(errno);
      }
      return;
    }
  }
  buffer_ += text;
}

std::string AtomicFile::commit() {
  if (fd_ < 0 && error_.empty()) error_ = "cannot write " + path_ + ": it was not opened";
  flush();
  std::string error = error_;
  // mkstemp makes the file private; a table is as readable as any other file.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (error.empty() && ::fchmod(fd_, 0666 & ~mask) != 0) {
    error = "cannot set the permissions of " + temporary_ + ": " + std::strerror(errno);
  }
  if (fd_ >= 0 && ::close(fd_) != 0 && error.empty()) {
    error = "cannot write " + temporary_ + ": " + std::strerror(errno);
  }
  fd_ = -1;
  if (error.empty() && ::rename(temporary_.c_str(), path_.c_str()) != 0) {
    error = "cannot replace " + path_ + ": " + std::strerror(errno);
  }
  if (error.empty()) temporary_.clear();  // in place: nothing to remove
  error_ = error;
  return error;
}

// Tried from the deepest level up, since most of the path exists already.
bool make_directories(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return true;
  if (errno != ENOENT) return false;
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return false;
  if (!make_directories(path.substr(0, slash))) return false;
  return ::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

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

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t wrote = ::write(fd, text.data(), text.size());
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return true;
}

bool write_parts(int fd, const std::vector<IoPart>& parts) {
  return transfer_parts(fd, parts, ::writev);
}

bool read_parts(int fd, const std::vector<IoPart>& parts) {
  return transfer_parts(fd, parts, ::readv);
}

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
