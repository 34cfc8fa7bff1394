// Reading the files a batch is given (a plan, a species table, a share's
// tables): only what can be a file of text, and only up to a size that
// such a file has, so that a directory, a device or a runaway file is
// refused with a message instead of ending the batch.
#pragma once

#include <cstddef>
#include <string>

namespace batch {

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

}  // namespace batch
