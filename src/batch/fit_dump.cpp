#include "batch/fit_dump.hpp"

#include <fcntl.h>
#include <unistd.h>

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

void put_bytes(std::string& block, const void* data, std::size_t bytes) {
  block.append(static_cast<const char*>(data), bytes);
}
template <typename T>
void put_value(std::string& block, T value) {
  put_bytes(block, &value, sizeof value);
}
void put_name(std::string& block, const std::string& name, std::size_t length) {
  std::string padded = name.substr(0, length);
  padded.resize(length, ' ');
  block += padded;
}

// Reads a record front to back; a read past the end marks it short.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : bytes_(bytes) {}
  void get(void* data, std::size_t bytes) {
    if (bytes > bytes_.size() - at_) {
      short_ = true;
      std::memset(data, 0, bytes);
      return;
    }
    std::memcpy(data, bytes_.data() + at_, bytes);
    at_ += bytes;
  }
  template <typename T>
  T value() {
    T v{};
    get(&v, sizeof v);
    return v;
  }
  std::string text(std::size_t length) {
    std::string t(length, '\0');
    get(t.data(), length);
    return t;
  }
  void doubles(double* out, std::size_t count) { get(out, count * sizeof(double)); }
  bool is_short() const { return short_; }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
  bool short_ = false;
};

std::string padded(const std::string& name, std::size_t length) {
  std::string p = name;
  p.resize(length, ' ');
  return p;
}

bool read_whole_file(const std::string& path, std::string& bytes, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  bytes.clear();
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
    if (bytes.size() > kDumpBytes) break;  // too long already; no need for the rest
  }
  ::close(fd);
  return true;
}

}  // namespace

void FitDumpWriter::put(const std::string& block) {
  std::size_t done = 0;
  while (!failed_ && done < block.size()) {
    const ssize_t wrote = ::write(fd_, block.data() + done, block.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) failed_ = true;
    if (wrote > 0) done += static_cast<std::size_t>(wrote);
  }
  written_ += done;
}

void FitDumpWriter::problem_ready() {
  using namespace declare;
  std::string block;
  block.reserve(kHeaderBytes + kProblemBytes);
  block += kHeaderMagic;
  for (std::int32_t extent : {kRecords, kIntervals, kBins, kCoefficients}) put_value(block, extent);
  put_name(block, config_.species, config::kSpeciesLength);
  put_name(block, config_.scenario, config::kScenarioLength);
  put_name(block, config_.tag, config::kTagLength);
  put_bytes(block, TIME.data(), sizeof(double) * kRecords);
  put_value(block, KP);
  put_bytes(block, K.data(), sizeof(double) * kBins);
  put_bytes(block, AVGWMOL.data(), sizeof(double) * kBins);
  put_bytes(block, ABVLSX.data(), sizeof(double) * kIntervals * kCoefficients);
  put(block);
}

void FitDumpWriter::solved(int r) {
  using namespace declare;
  std::string block;
  block.reserve(kSolveBytes);
  put_value(block, static_cast<std::int32_t>(r));
  put_value(block, LOOPABVLS);
  put_bytes(block, ISTATEBVLS.data(), sizeof(std::int32_t) * (kCoefficients + 1));
  put_bytes(block, BBVLS.data(), sizeof(double) * kIntervals);
  put_bytes(block, ALPHAL.data(), sizeof(double) * kCoefficients);
  put_bytes(block, ALPHAU.data(), sizeof(double) * kCoefficients);
  put_bytes(block, ALPHA.data(), sizeof(double) * kCoefficients);
  put(block);
}

void FitDumpWriter::finished() {
  // Only a record written whole, in order, gets its trailer.
  if (failed_ || written_ != kBodyBytes) return;
  std::string block(kTrailerMagic);
  put_value(block, static_cast<std::uint64_t>(written_));
  put(block);
}

std::string read_fit_dump(const std::string& path, const Configuration& expected, FitDump& dump) {
  std::string bytes;
  std::string error;
  if (!read_whole_file(path, bytes, error)) return "cannot read " + path + ": " + error;
  if (bytes.size() != kDumpBytes) {
    return path + " is not a complete record of a fit (" + std::to_string(bytes.size()) +
           " bytes, not " + std::to_string(kDumpBytes) + ")";
  }
  Cursor in(bytes);
  if (in.text(kHeaderMagic.size()) != kHeaderMagic) return path + " is not a record of a fit";
  for (std::int32_t extent : {config::kRecords, config::kIntervals, config::kBins,
                              config::kCoefficients}) {
    if (in.value<std::int32_t>() != extent) return path + " was made for other extents";
  }
  const std::string species = in.text(config::kSpeciesLength);
  const std::string scenario = in.text(config::kScenarioLength);
  const std::string tag = in.text(config::kTagLength);
  if (species != padded(expected.species, config::kSpeciesLength) ||
      scenario != padded(expected.scenario, config::kScenarioLength) ||
      tag != padded(expected.tag, config::kTagLength)) {
    return path + " records another configuration";
  }
  dump.config = expected;
  dump.time.resize(config::kRecords);
  in.doubles(dump.time.data(), dump.time.size());
  dump.kp = in.value<double>();
  in.doubles(dump.k.data(), dump.k.size());
  in.doubles(dump.avgwmol.data(), dump.avgwmol.size());
  dump.a.resize(static_cast<std::size_t>(config::kIntervals) * config::kCoefficients);
  in.doubles(dump.a.data(), dump.a.size());
  for (int r = 1; r <= config::kBins; ++r) {
    SolveRecord& s = dump.solves[r - 1];
    if (in.value<std::int32_t>() != r) return path + " holds its solves out of order";
    s.loops = in.value<std::int32_t>();
    in.get(s.state.data(), sizeof(std::int32_t) * s.state.size());
    s.b.resize(config::kIntervals);
    in.doubles(s.b.data(), s.b.size());
    in.doubles(s.lower.data(), s.lower.size());
    in.doubles(s.upper.data(), s.upper.size());
    in.doubles(s.x.data(), s.x.size());
  }
  if (in.text(kTrailerMagic.size()) != kTrailerMagic ||
      in.value<std::uint64_t>() != kBodyBytes || in.is_short()) {
    return path + " is not a complete record of a fit (no trailer)";
  }
  return {};
}

}  // namespace batch
