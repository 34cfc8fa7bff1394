#include "textio/unit.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "diagnostics/diagnostic.hpp"
#include "diagnostics/signals.hpp"

namespace textio {
namespace {

constexpr std::size_t kOutputBufferBytes = 1 << 16;
constexpr std::size_t kInputChunkBytes = 1 << 16;
// Standard output is not opened by number; messages about it show this.
constexpr int kStandardOutputUnit = -1;

std::map<int, std::unique_ptr<Unit>>& open_units() {
  static std::map<int, std::unique_ptr<Unit>> units;
  return units;
}

// Writes all of `data`, retrying after interruptions; false on failure.
bool write_fully(int fd, const char* data, std::size_t size) noexcept {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int open_message(int error_number) {
  switch (error_number) {
    case ENOENT: return diagnostics::kFileNotFound;
    case EEXIST: return diagnostics::kCannotOverwrite;
    case EACCES:
    case EROFS: return diagnostics::kPermissionDenied;
    case ENODEV:
    case ENXIO: return diagnostics::kNoSuchDevice;
    case ENOTDIR:
    case ENAMETOOLONG: return diagnostics::kFileNameError;
    default: return diagnostics::kOpenFailure;
  }
}

bool refused(int error_number) {
  return error_number == EACCES || error_number == EROFS || error_number == EPERM;
}

// The name under which /proc shows the file open on `fd`; linking it makes
// an unnamed temporary file appear.
std::string proc_fd_name(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// What a failed O_TMPFILE open says when the kernel or the file system has
// no unnamed temporary files.
bool no_unnamed_files(int error_number) {
  return error_number == EOPNOTSUPP || error_number == EISDIR || error_number == EINVAL;
}

// Where a new file waits until it is closed.
struct Temporary {
  int fd = -1;
  std::string name;  // empty for an unnamed one
};

// Opens the temporary file that stands in for the new file `name` (a full
// name) until its close. An entry of that name fails with EEXIST at once, so
// that an existing file ends the run where the open is; otherwise fd is -1
// with errno set as an open of `name` itself would set it.
Temporary open_temporary(const std::string& name, TemporaryFile kind) {
  Temporary t;
  struct stat existing;
  if (::fstatat(AT_FDCWD, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return t;
  }
  if (errno != ENOENT) return t;
  std::size_t slash = name.rfind('/');
  if (slash == std::string::npos || slash + 1 == name.size()) {
    errno = EISDIR;  // what an open of a directory name for writing says
    return t;
  }
  if (kind == TemporaryFile::unnamed_first) {
    std::string directory = slash == 0 ? "/" : name.substr(0, slash);
    t.fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    // Usable only where /proc can give it a name at the close.
    if (t.fd >= 0 && ::faccessat(AT_FDCWD, proc_fd_name(t.fd).c_str(), F_OK, 0) == 0) return t;
    if (t.fd < 0 && !no_unnamed_files(errno)) return t;
    if (t.fd >= 0) ::close(t.fd);
    t.fd = -1;
  }
  // A visible name that says what it is, unique per process and attempt; a
  // leftover of a run killed outright only moves this one to the next number.
  constexpr int kAttempts = 100;
  const std::string prefix = name + ".tmp-" + std::to_string(::getpid()) + "-";
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    t.name = prefix + std::to_string(attempt);
    t.fd = ::open(t.name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
    if (t.fd >= 0 || errno != EEXIST) break;
  }
  return t;
}

// Opens an existing file. A FIFO is opened for reading only, waiting for its
// writer as any reader does: held open for writing too, it would never end.
int open_existing(const std::string& name) {
  struct stat st;
  if (::stat(name.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
    int fd;
    do {
      fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
  }
  int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
  // Files are opened for reading and writing, as nothing says which is meant;
  // when that is refused, for reading only, so that an input file that may
  // only be read opens normally.
  if (fd < 0 && refused(errno)) fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  return fd;
}

}  // namespace

Unit::Unit(int number, std::string file_name, int fd, bool flush_every_statement)
    : number_(number),
      file_name_(std::move(file_name)),
      fd_(fd),
      flush_every_statement_(flush_every_statement) {
  diagnostics::register_open_unit(this);
}

Unit::Unit(int number, std::string file_name, int fd, std::string temp_name, bool unnamed)
    : number_(number),
      file_name_(std::move(file_name)),
      fd_(fd),
      flush_every_statement_(false),
      pending_(unnamed ? Pending::unnamed : Pending::named),
      temp_name_(std::move(temp_name)) {
  diagnostics::register_open_unit(this);
}

Unit::Unit(int number, std::string file_name, std::string& memory)
    : number_(number),
      file_name_(std::move(file_name)),
      fd_(-1),
      memory_(&memory),
      flush_every_statement_(false) {}

// Closed first and forgotten after: an ending that comes in between finds a
// closed unit and has nothing to do with it.
Unit::~Unit() {
  if (memory_ != nullptr) return;
  close_at_exit();
  diagnostics::unregister_open_unit(this);
}

void Unit::write_record(std::string_view text) {
  append_record(text);
  if (flush_every_statement_) flush();
}

// Standard output goes out once per statement, not per record: one write and
// one deferral of interrupts for all of a statement's records.
void Unit::write_records(std::span<const std::string> records) {
  for (const std::string& record : records) append_record(record);
  if (flush_every_statement_) flush();
}

void Unit::append_record(std::string_view text) {
  if (memory_ != nullptr) {
    memory_->append(text);
    memory_->push_back('\n');
    return;
  }
  if (fd_ < 0) write_failed();
  std::size_t size = text.size() + 1;
  if (out_size_ + size > kOutputBufferBytes) flush();
  if (size > kOutputBufferBytes) {  // a record longer than the buffer goes straight out
    bool ok;
    {
      diagnostics::InterruptsDeferred deferred;
      ok = write_fully(fd_, text.data(), text.size()) && write_fully(fd_, "\n", 1);
    }
    if (!ok) write_failed();
    return;
  }
  // Units that are only read never take an output buffer.
  if (out_ == nullptr) out_ = std::make_unique_for_overwrite<char[]>(kOutputBufferBytes);
  char* end = out_.get() + out_size_;
  std::memcpy(end, text.data(), text.size());
  end[text.size()] = '\n';
  std::atomic_signal_fence(std::memory_order_seq_cst);
  out_size_ = out_size_ + size;
}

// Interrupts wait until the buffer is written out and emptied: delivered in
// the middle, their exit processing would write the same records again.
void Unit::flush() {
  if (out_size_ == 0 || fd_ < 0) return;
  bool ok;
  {
    diagnostics::InterruptsDeferred deferred;
    ok = write_fully(fd_, out_.get(), out_size_);
    out_size_ = 0;
  }
  if (!ok) write_failed();
}

void Unit::write_failed() {
  out_size_ = 0;  // the exit processing must not try again
  diagnostics::issue_severe(diagnostics::kWriteError, {number_, file_name_.c_str()});
}

// The records are on disk before the name is given, so that not even a
// power loss leaves a partial file under it (unless the caller flushes the
// file system itself: sync_before_naming). The temporary file goes only
// once the name stands: an ending in between removes it and nothing else.
void Unit::publish() {
  if (sync_before_naming_ && ::fsync(fd_) != 0) write_failed();
  if (before_naming_ != nullptr) before_naming_();
  int linked = pending_ == Pending::unnamed
                   ? ::linkat(AT_FDCWD, proc_fd_name(fd_).c_str(), AT_FDCWD, file_name_.c_str(),
                              AT_SYMLINK_FOLLOW)
                   : ::link(temp_name_.c_str(), file_name_.c_str());
  if (linked != 0) diagnostics::issue_severe(open_message(errno), {number_, file_name_.c_str()});
  if (pending_ == Pending::named) ::unlink(temp_name_.c_str());
  pending_ = Pending::none;
}

// Moves the bytes not yet taken to the front and fills the room after them.
// The buffer doubles only when they take more than half of it (a line longer
// than that), so every read fills at least half a buffer and a long line
// costs time in proportion to its length.
bool Unit::fill_input() {
  if (in_eof_ || fd_ < 0) return false;
  const std::size_t kept = in_size_ - in_pos_;
  if (in_capacity_ == 0 || kept > in_capacity_ / 2) {
    const std::size_t capacity = std::max(2 * in_capacity_, kInputChunkBytes);
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    if (kept > 0) std::memcpy(grown.get(), in_.get() + in_pos_, kept);
    in_ = std::move(grown);
    in_capacity_ = capacity;
  } else if (kept > 0 && in_pos_ > 0) {
    std::memmove(in_.get(), in_.get() + in_pos_, kept);
  }
  in_pos_ = 0;
  in_size_ = kept;
  ssize_t n;
  do {
    n = ::read(fd_, in_.get() + in_size_, in_capacity_ - in_size_);
  } while (n < 0 && errno == EINTR);
  if (n < 0) diagnostics::issue_severe(diagnostics::kReadError, {number_, file_name_.c_str()});
  in_size_ += static_cast<std::size_t>(n);
  if (n == 0) in_eof_ = true;
  return n > 0;
}

// Each byte is searched once, however many reads a long line takes.
bool Unit::read_record(std::string_view& record) {
  std::size_t from = in_pos_;
  for (;;) {
    const void* found = from < in_size_ ? std::memchr(in_.get() + from, '\n', in_size_ - from)
                                        : nullptr;
    if (found != nullptr) {
      const std::size_t lf = static_cast<std::size_t>(static_cast<const char*>(found) - in_.get());
      std::size_t end = lf;
      if (end > in_pos_ && in_[end - 1] == '\r') --end;
      record = std::string_view(in_.get() + in_pos_, end - in_pos_);
      in_pos_ = lf + 1;
      return true;
    }
    from = in_size_ - in_pos_;  // fill_input drops the in_pos_ bytes before
    if (!fill_input()) break;
  }
  if (in_pos_ < in_size_) {  // a last line without a line feed
    record = std::string_view(in_.get() + in_pos_, in_size_ - in_pos_);
    in_pos_ = in_size_;
    return true;
  }
  return false;
}

bool Unit::read_record(std::string& record) {
  std::string_view view;
  if (!read_record(view)) return false;
  record.assign(view);
  return true;
}

void Unit::close() {
  flush();
  if (pending_ != Pending::none && fd_ >= 0) publish();
  if (fd_ > STDERR_FILENO) ::close(fd_);
  fd_ = -1;
}

void Unit::close_at_exit() noexcept {
  // Errors are not reported here: the run is already ending.
  if (pending_ == Pending::none && fd_ >= 0 && out_size_ > 0) {
    write_fully(fd_, out_.get(), out_size_);
  }
  out_size_ = 0;
  if (pending_ == Pending::named) ::unlink(temp_name_.c_str());
  pending_ = Pending::none;  // an unnamed temporary file goes with its last descriptor
  if (fd_ > STDERR_FILENO) ::close(fd_);
  fd_ = -1;
}

namespace {
thread_local constinit Unit* t_standard_output = nullptr;
}  // namespace

Unit& standard_output() {
  if (t_standard_output != nullptr) return *t_standard_output;
  static Unit unit(kStandardOutputUnit, "stdout", STDOUT_FILENO, true);
  return unit;
}

Unit* redirect_standard_output(Unit* unit) noexcept {
  Unit* previous = t_standard_output;
  t_standard_output = unit;
  return previous;
}

std::string full_file_name(int unit, std::string_view file) {
  std::size_t first = file.find_first_not_of(' ');
  std::size_t last = file.find_last_not_of(' ');
  std::string name = first == std::string_view::npos
                         ? std::string()
                         : std::string(file.substr(first, last - first + 1));
  if (!name.empty() && name[0] == '/') return name;
  if (name.size() >= 2 && name[0] == '~' && name[1] == '/') {
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + name.substr(1);
  }
  // getcwd gives the physical directory, whatever way it was reached.
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) {
    diagnostics::issue_severe(diagnostics::kNoWorkingDirectory, {unit, name.c_str()});
  }
  std::string full(cwd);
  std::free(cwd);
  if (full.empty() || full.back() != '/') full.push_back('/');
  return full + name;
}

Unit& open_unit(int unit, std::string_view file, OpenStatus status, TemporaryFile temporary) {
  close_unit(unit);
  std::string name = full_file_name(unit, file);
  std::unique_ptr<Unit> opened;
  if (status == OpenStatus::new_file) {
    Temporary t = open_temporary(name, temporary);
    if (t.fd < 0) diagnostics::issue_severe(open_message(errno), {unit, name.c_str()});
    const bool unnamed = t.name.empty();
    opened = std::make_unique<Unit>(unit, name, t.fd, std::move(t.name), unnamed);
  } else {
    int fd = open_existing(name);
    if (fd < 0) diagnostics::issue_severe(open_message(errno), {unit, name.c_str()});
    opened = std::make_unique<Unit>(unit, name, fd, false);
  }
  auto& entry = open_units()[unit];
  entry = std::move(opened);
  return *entry;
}

void close_unit(int unit) {
  auto& units = open_units();
  auto it = units.find(unit);
  if (it == units.end()) return;
  it->second->close();
  units.erase(it);
}

}  // namespace textio
