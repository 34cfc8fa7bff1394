// The batch's file and descriptor helpers, in one place: whole files read
// and replaced, directories made, descriptors drained and filled, records
// written and read part by part.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace batch {

// `directory` + "/" + `name`.
std::string join(const std::string& directory, const std::string& name);

// Whether something (a file, a directory, a dangling link) has this name.
bool path_exists(const std::string& path);

// What `path` is when it is neither a regular file (or a link to one) nor
// missing: "a directory", "a FIFO", "a socket", "a device" or "a link to
// nothing"; empty otherwise.
std::string other_than_file(const std::string& path);

// Reads all of `path` into `text`: a regular file or a pipe, never a
// directory or a device. False when it cannot be opened or read (errno then
// says why).
bool read_whole_file(const std::string& path, std::string& text);

// Plans and species tables beyond this are not what their names say: a
// plan line takes about 30 bytes, so this is over a hundred thousand
// configurations.
inline constexpr std::size_t kInputFileLimit = std::size_t{4} << 20;
inline constexpr const char* kInputFileLimitText = "4 MiB";

// Reads the file `path` into `text`: a regular file or a pipe of at most
// `limit` bytes; "-" is standard input. Returns why it cannot ("is a
// directory", "is not a regular file", "is larger than 4 MiB", or the
// system's reason), or empty. errno says it too.
std::string read_input_file(const std::string& path, std::size_t limit, std::string& text);

// Why `path` cannot be a directory to write a report into: it exists and
// is no directory. Empty when it is one or does not exist yet.
std::string report_path_fault(const std::string& path);

// The last `limit` bytes of `path` at most; empty when it cannot be read.
std::string read_end(const std::string& path, std::size_t limit);

// Waits until the file `path` is on disk (fsync). Returns why it is not
// known to be, or empty.
std::string sync_file(const std::string& path);

// Writes `content` to `path` through a temporary file in the same directory
// that replaces `path` only once it is complete, so a reader never sees half
// a file. Returns why it failed, or empty.
std::string write_file_atomically(const std::string& path, std::string_view content);

// The same, for a file written a piece at a time: open() creates the
// temporary file beside `path`, append() adds to it (through a buffer of
// kBufferBytes), commit() puts it in place of `path`. One not committed is
// removed. The first failure is kept: open() and commit() return it
// (empty when there is none), and appends after it do nothing.
class AtomicFile {
 public:
  static constexpr std::size_t kBufferBytes = 64 * 1024;
  explicit AtomicFile(std::string path) : path_(std::move(path)) {}
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();
  std::string open();
  void append(std::string_view text);
  std::string commit();

 private:
  void flush();
  std::string path_;
  std::string temporary_;
  std::string buffer_;
  std::string error_;
  int fd_ = -1;
};

// Creates `path` and the directories above it that are missing; another
// process creating one of them at the same time is no failure. False (errno
// says why) when one cannot be made.
bool make_directories(const std::string& path);

// What is left to read from `fd`, up to its end.
std::string read_all(int fd);

// Writes all of `text` to `fd`; false when a write fails.
bool write_all(int fd, std::string_view text);

// A stretch of bytes in memory: a record written or read part by part,
// straight from and into the arrays that hold it.
struct IoPart {
  const void* data;
  std::size_t bytes;
};
// Writes, or reads, the parts' bytes in order with as few calls as the
// kernel allows; false when a call fails or, reading, the file ends first.
bool write_parts(int fd, const std::vector<IoPart>& parts);
bool read_parts(int fd, const std::vector<IoPart>& parts);

}  // namespace batch
