// The batch's file and descriptor helpers, in one place: whole files read
// and replaced, directories made, descriptors drained and filled, records
// written and read part by part.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace batch {

// `directory` + "/" + `name`.
std::string join(const std::string& directory, const std::string& name);

// Whether something (a file, a directory, a dangling link) has this name.
bool path_exists(const std::string& path);

// Reads all of `path` into `text`. False when it cannot be opened or read
// (errno then says why).
bool read_whole_file(const std::string& path, std::string& text);

// The last `limit` bytes of `path` at most; empty when it cannot be read.
std::string read_end(const std::string& path, std::size_t limit);

// Writes `content` to `path` through a temporary file in the same directory
// that replaces `path` only once it is complete, so a reader never sees half
// a file. Returns why it failed, or empty.
std::string write_file_atomically(const std::string& path, std::string_view content);

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
