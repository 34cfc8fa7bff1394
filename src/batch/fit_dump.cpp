#include "batch/fit_dump.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "declare/declare.hpp"

namespace batch {
namespace {

constexpr std::string_view kHeaderMagic = "vbsfitD1";
constexpr std::string_view kTrailerMagic = "vbsfitE1";
constexpr std::size_t kNamesBytes =
    config::kSpeciesLength + config::kScenarioLength + config::kTagLength;
constexpr std::size_t kHeaderBytes = kHeaderMagic.size() + 4 * sizeof(std::int32_t) + kNamesBytes;
constexpr std::size_t kProblemBytes =
    sizeof(double) * (config::kRecords + 1 + 2 * config::kBins +
                      static_cast<std::size_t>(config::kIntervals) * config::kCoefficients);
constexpr std::size_t kSolveBytes =
    sizeof(std::int32_t) * (2 + config::kCoefficients + 1) +
    sizeof(double) * (config::kIntervals + 3 * config::kCoefficients);
constexpr std::size_t kTrailerBytes = kTrailerMagic.size() + sizeof(std::uint64_t);
constexpr std::size_t kBodyBytes = kHeaderBytes + kProblemBytes + config::kBins * kSolveBytes;
constexpr std::size_t kDumpBytes = kBodyBytes + kTrailerBytes;

using Part = IoPart;
template <typename T>
Part part_of(const T& value) {
  return {&value, sizeof value};
}
Part doubles(const double* data, std::size_t count) { return {data, count * sizeof(double)}; }

// The names of a configuration as the header holds them: each blank-padded
// to its fixed length.
std::string padded_names(const Configuration& config) {
  std::string names;
  for (auto [name, length] : {std::pair{&config.species, config::kSpeciesLength},
                              std::pair{&config.scenario, config::kScenarioLength},
                              std::pair{&config.tag, config::kTagLength}}) {
    std::string padded = name->substr(0, length);
    padded.resize(length, ' ');
    names += padded;
  }
  return names;
}

using Extents = std::array<std::int32_t, 4>;
constexpr Extents kExtents = {config::kRecords, config::kIntervals, config::kBins,
                              config::kCoefficients};

// What a record holds besides the fit's own arrays.
struct RecordFrame {
  char magic[8];
  Extents extents{};
  std::string names;  // the padded names, kNamesBytes
  std::array<std::array<std::int32_t, 2>, config::kBins> heads{};  // r, LOOPABVLS per solve
  char trailer[8];
  std::uint64_t body = 0;
};

// The parts of a whole record, in file order, read into `frame` and `dump`
// (whose arrays are sized here).
std::vector<Part> record_parts(RecordFrame& frame, FitDump& dump) {
  frame.names.assign(kNamesBytes, '\0');
  dump.time.resize(config::kRecords);
  dump.a.resize(static_cast<std::size_t>(config::kIntervals) * config::kCoefficients);
  std::vector<Part> parts = {{frame.magic, sizeof frame.magic},
                             part_of(frame.extents),
                             {frame.names.data(), frame.names.size()},
                             doubles(dump.time.data(), dump.time.size()),
                             part_of(dump.kp),
                             doubles(dump.k.data(), dump.k.size()),
                             doubles(dump.avgwmol.data(), dump.avgwmol.size()),
                             doubles(dump.a.data(), dump.a.size())};
  for (int r = 1; r <= config::kBins; ++r) {
    SolveRecord& s = dump.solves[r - 1];
    s.b.resize(config::kIntervals);
    for (Part p : {part_of(frame.heads[r - 1]), part_of(s.state), doubles(s.b.data(), s.b.size()),
                   doubles(s.lower.data(), s.lower.size()),
                   doubles(s.upper.data(), s.upper.size()), doubles(s.x.data(), s.x.size())}) {
      parts.push_back(p);
    }
  }
  parts.push_back({frame.trailer, sizeof frame.trailer});
  parts.push_back(part_of(frame.body));
  return parts;
}

}  // namespace

FitDumpWriter::~FitDumpWriter() {
  if (fd_ >= 0) ::close(fd_);
}

void FitDumpWriter::put(const std::vector<Part>& parts) {
  if (failed_ || fd_ < 0) {
    failed_ = true;
    return;
  }
  failed_ = !write_parts(fd_, parts);
  if (!failed_) {
    for (const Part& p : parts) written_ += p.bytes;
  }
}

void FitDumpWriter::problem_ready() {
  using namespace declare;
  fd_ = ::openat(directory_fd_, kFitDumpName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  const std::string names = padded_names(config_);
  put({{kHeaderMagic.data(), kHeaderMagic.size()},
       part_of(kExtents),
       {names.data(), names.size()},
       doubles(TIME.data(), kRecords),
       part_of(KP),
       doubles(K.data(), kBins),
       doubles(AVGWMOL.data(), kBins),
       doubles(ABVLSX.data(), static_cast<std::size_t>(kIntervals) * kCoefficients)});
}

void FitDumpWriter::solved(int r) {
  using namespace declare;
  const std::array<std::int32_t, 2> head = {r, LOOPABVLS};
  put({part_of(head),
       {ISTATEBVLS.data(), sizeof(std::int32_t) * (kCoefficients + 1)},
       doubles(BBVLS.data(), kIntervals),
       doubles(ALPHAL.data(), kCoefficients),
       doubles(ALPHAU.data(), kCoefficients),
       doubles(ALPHA.data(), kCoefficients)});
}

void FitDumpWriter::finished() {
  // Only a record written whole, in order, gets its trailer.
  if (failed_ || written_ != kBodyBytes) return;
  const std::uint64_t body = written_;
  put({{kTrailerMagic.data(), kTrailerMagic.size()}, part_of(body)});
}

std::string read_fit_dump(const std::string& path, const Configuration& expected, FitDump& dump) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "cannot read " + path + ": " + std::strerror(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return path + " is not a file";
  }
  if (static_cast<std::size_t>(st.st_size) != kDumpBytes) {
    ::close(fd);
    return path + " is not a complete record of a fit (" + std::to_string(st.st_size) +
           " bytes, not " + std::to_string(kDumpBytes) + ")";
  }
  RecordFrame frame;
  dump.config = expected;
  const std::vector<Part> parts = record_parts(frame, dump);
  const bool read = read_parts(fd, parts);
  ::close(fd);
  if (!read) return "cannot read " + path;
  if (std::string_view(frame.magic, sizeof frame.magic) != kHeaderMagic) {
    return path + " is not a record of a fit";
  }
  if (frame.extents != kExtents) return path + " was made for other extents";
  if (frame.names != padded_names(expected)) {
    return path + " records another configuration";
  }
  for (int r = 1; r <= config::kBins; ++r) {
    if (frame.heads[r - 1][0] != r) return path + " holds its solves out of order";
    dump.solves[r - 1].loops = frame.heads[r - 1][1];
  }
  if (std::string_view(frame.trailer, sizeof frame.trailer) != kTrailerMagic ||
      frame.body != kBodyBytes) {
    return path + " is not a complete record of a fit (no trailer)";
  }
  return {};
}

}  // namespace batch
