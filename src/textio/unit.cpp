#include "textio/unit.hpp"

#include <fcntl.h>
#include <unistd.h>

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

}  // namespace

Unit::Unit(int number, std::string file_name, int fd, bool flush_every_record)
    : number_(number),
      file_name_(std::move(file_name)),
      fd_(fd),
      flush_every_record_(flush_every_record),
      out_(new char[kOutputBufferBytes]) {
  diagnostics::register_open_unit(this);
}

// Closed first and forgotten after: an ending that comes in between finds a
// closed unit and has nothing to do with it.
Unit::~Unit() {
  close_at_exit();
  diagnostics::unregister_open_unit(this);
}

void Unit::write_record(std::string_view text) {
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
  char* end = out_.get() + out_size_;
  std::memcpy(end, text.data(), text.size());
  end[text.size()] = '\n';
  std::atomic_signal_fence(std::memory_order_seq_cst);
  out_size_ = out_size_ + size;
  if (flush_every_record_) flush();
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

bool Unit::fill_input() {
  if (in_eof_ || fd_ < 0) return false;
  in_.erase(0, in_pos_);
  in_pos_ = 0;
  std::size_t old = in_.size();
  in_.resize(old + kInputChunkBytes);
  ssize_t n;
  do {
    n = ::read(fd_, in_.data() + old, kInputChunkBytes);
  } while (n < 0 && errno == EINTR);
  if (n < 0) diagnostics::issue_severe(diagnostics::kReadError, {number_, file_name_.c_str()});
  in_.resize(old + static_cast<std::size_t>(n));
  if (n == 0) in_eof_ = true;
  return n > 0;
}

bool Unit::read_record(std::string& record) {
  for (;;) {
    std::size_t lf = in_.find('\n', in_pos_);
    if (lf != std::string::npos) {
      std::size_t end = lf;
      if (end > in_pos_ && in_[end - 1] == '\r') --end;
      record.assign(in_, in_pos_, end - in_pos_);
      in_pos_ = lf + 1;
      return true;
    }
    if (!fill_input()) break;
  }
  if (in_pos_ < in_.size()) {  // a last line without a line feed
    record.assign(in_, in_pos_, std::string::npos);
    in_pos_ = in_.size();
    return true;
  }
  return false;
}

void Unit::close() {
  flush();
  if (fd_ > STDERR_FILENO) ::close(fd_);
  fd_ = -1;
}

void Unit::close_at_exit() noexcept {
  // Errors are not reported here: the run is already ending.
  if (fd_ >= 0 && out_size_ > 0) write_fully(fd_, out_.get(), out_size_);
  out_size_ = 0;
  if (fd_ > STDERR_FILENO) ::close(fd_);
  fd_ = -1;
}

Unit& standard_output() {
  static Unit unit(kStandardOutputUnit, "stdout", STDOUT_FILENO, true);
  return unit;
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

Unit& open_unit(int unit, std::string_view file, OpenStatus status) {
  close_unit(unit);
  std::string name = full_file_name(unit, file);
  int flags = O_CLOEXEC | (status == OpenStatus::new_file ? O_CREAT | O_EXCL : 0);
  int fd = ::open(name.c_str(), flags | O_RDWR, 0666);
  // Files are opened for reading and writing, as nothing says which is meant;
  // when that is refused, for reading only, so that an input file that may
  // only be read opens normally.
  if (fd < 0 && refused(errno)) fd = ::open(name.c_str(), flags | O_RDONLY, 0666);
  if (fd < 0) diagnostics::issue_severe(open_message(errno), {unit, name.c_str()});
  auto& units = open_units();
  auto& entry = units[unit];
  entry = std::make_unique<Unit>(unit, name, fd, false);
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
