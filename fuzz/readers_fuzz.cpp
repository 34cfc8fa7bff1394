// Whole input files through the readers of both layouts, against the
// reference rules: the files (up to three, separated by a NUL byte, each
// optionally completed to 1441 records by generated ones) must fill TIME,
// PRECURSOR, YKELPO and WMOL bit for bit as the rules say, end with the
// message the rules say (24, 59, 64 for the right unit and file), or, when
// the files disagree on a time, with status 1 and the line that names them.
#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "config/formats.hpp"
#include "declare/declare.hpp"
#include "driver/readers.hpp"
#include "fuzz_support.hpp"
#include "reference.hpp"
#include "textio/unit.hpp"

namespace {

constexpr int kRecords = 1441;
constexpr int kBins = 6;

// The run data as the rules fill it, index t - 1.
struct Data {
  std::array<double, kRecords> time{}, precursor{};
  std::array<std::array<double, kRecords>, kBins> bins{}, wmol{};
};

enum class Series { precursor, bins, molar_masses };

struct FileUse {
  int unit;
  bool header;
  int width;  // 0: list-directed
  int digits;
  Series series;
};

const FileUse kStandard[] = {{20, true, 13, 5, Series::precursor},
                             {30, false, 13, 5, Series::bins},
                             {60, false, 13, 5, Series::molar_masses}};
const FileUse kIdeal[] = {{20, true, 24, 14, Series::precursor},
                          {30, true, 0, 0, Series::bins}};

struct Expected {
  reference::Outcome outcome;
  std::string message;  // the first line on standard error
};

std::string message_line(int number, int unit, const std::string& file) {
  const char* text = number == 24   ? "end-of-file during read"
                     : number == 59 ? "list-directed I/O syntax error"
                                    : "input conversion error";
  return "forrtl: severe (" + std::to_string(number) + "): " + text + ", unit " +
         std::to_string(unit) + ", file " + file + "\n";
}

// Reads one file by the rules into `data`; false when the run ends there.
bool read_by_rules(const FileUse& use, const std::string& text, const std::string& name,
                   Data& data, Expected& expected) {
  reference::Reader in{reference::records_of(text)};
  auto end_with = [&](int number) {
    expected = {{reference::Outcome::ended, number}, message_line(number, use.unit, name)};
    return false;
  };
  if (use.header) {
    std::vector<std::optional<double>> none;
    if (reference::read_list(in, none).kind == reference::Outcome::end_of_file) return end_with(24);
  }
  const std::size_t count = use.series == Series::precursor ? 2 : 1 + kBins;
  for (int t = 1; t <= kRecords; ++t) {
    std::vector<std::optional<double>> values(count);
    reference::Outcome o = use.width == 0
                               ? reference::read_list(in, values)
                               : reference::read_formatted(in, use.width, use.digits, values);
    for (std::size_t k = 0; k < count; ++k) {
      if (!values[k]) continue;
      if (k == 0) {
        data.time[t - 1] = *values[k];
      } else if (use.series == Series::precursor) {
        data.precursor[t - 1] = *values[k];
      } else {
        (use.series == Series::bins ? data.bins : data.wmol)[k - 1][t - 1] = *values[k];
      }
    }
    if (o.kind == reference::Outcome::ended) return end_with(o.message);
    if (o.kind == reference::Outcome::end_of_file) return end_with(24);
  }
  return true;
}

// Generated records t = from ... 1441 of a file, all of them readable, with
// the times every file shares (300 s apart).
std::string completion(const FileUse& use, int from) {
  std::string text;
  char field[64];
  for (int t = from; t <= kRecords; ++t) {
    const double values[] = {300.0 * (t - 1), 25.0 - 0.01 * t, 1.0 * t, 2.0, 3.5, 0.25, 1e-3, 7.0};
    const std::size_t count = use.series == Series::precursor ? 2 : 1 + kBins;
    for (std::size_t k = 0; k < count; ++k) {
      if (use.width == 0) {
        std::snprintf(field, sizeof field, " %.17g", values[k]);
      } else {
        std::snprintf(field, sizeof field, "%*.*E", use.width, use.digits, values[k]);
      }
      text += field;
    }
    text += '\n';
  }
  return text;
}

int g_stderr = 2;  // the fuzzer's own standard error while the readers run

// Standard error of the readers, kept apart in memory: an ending's text comes
// back with the ending, anything else they write is not wanted.
class CapturedStderr {
 public:
  CapturedStderr() : fd_(::memfd_create("fuzz-stderr", 0)) { ::dup2(fd_, 2); }
  ~CapturedStderr() {
    ::dup2(g_stderr, 2);
    ::close(fd_);
  }
 private:
  int fd_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_stderr = ::dup(2);
  __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(g_stderr)));
  return 0;
}

namespace {

// One input, whose reads each catch their own ending.
void check_input(const std::uint8_t* data, std::size_t size) {
  static fuzzing::MemoryFile files[3];
  if (size < 1) return;
  const bool ideal = (data[0] & 1) != 0;
  const FileUse* uses = ideal ? kIdeal : kStandard;
  const int file_count = ideal ? 2 : 3;

  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string texts[3];
  for (int f = 0; f < 3; ++f) {
    std::size_t nul = f < 2 ? rest.find('\0') : std::string::npos;
    texts[f] = rest.substr(0, nul);
    rest = nul == std::string::npos ? std::string() : rest.substr(nul + 1);
  }
  driver::MainVariables v;
  v.SPECIES = ideal ? "ideal" : "OLE2_OH";
  for (int f = 0; f < file_count; ++f) {
    if ((data[0] >> (f + 1)) & 1) {
      const int lines = static_cast<int>(reference::records_of(texts[f]).size());
      texts[f] += completion(uses[f], std::max(1, lines - (uses[f].header ? 1 : 0) + 1));
    }
    files[f].set(texts[f]);
  }
  v.FILEP = files[0].name();
  v.FILES = files[1].name();
  v.FILEW = files[2].name();

  // The rules: each file in turn, then the times.
  Data want;
  Expected expected{{reference::Outcome::complete, 0}, ""};
  std::vector<std::array<double, kRecords>> times;
  bool read_all = true;
  for (int f = 0; f < file_count && read_all; ++f) {
    read_all = read_by_rules(uses[f], texts[f], files[f].name(), want, expected);
    times.push_back(want.time);
  }
  const std::string names[3] = {files[0].name(), files[1].name(), files[2].name()};
  for (int t = 1; t <= kRecords && read_all && expected.outcome.kind == reference::Outcome::complete; ++t) {
    for (int b = 1; b < file_count && expected.outcome.kind == reference::Outcome::complete; ++b) {
      for (int a = 0; a < b; ++a) {
        const double x = times[a][t - 1], y = times[b][t - 1];
        if (std::fabs(x - y) <= 1e-4 * std::fmax(std::fabs(x), std::fabs(y))) continue;
        expected = {{reference::Outcome::ended, 1},
                    "vbsfit: data record " + std::to_string(t) + ": time " + config::shortest(x) +
                        " in " + names[a] + " differs from time " + config::shortest(y) + " in " +
                        names[b] + "; the files must share one time column\n"};
        break;
      }
    }
  }

  // The program, from zeroed run data as at the start of a run.
  using declare::PRECURSOR;
  using declare::TIME;
  using declare::WMOL;
  using declare::YKELPO;
  for (int t = 1; t <= kRecords; ++t) {
    TIME(t) = 0.0;
    PRECURSOR(t) = 0.0;
    for (int j = 1; j <= kBins; ++j) YKELPO(j, t) = WMOL(j, t) = 0.0;
  }
  reference::Outcome outcome;
  std::string message;
  {
    CapturedStderr quiet;
    if (const auto ended = diagnostics::capture_ending([&] { driver::run_readers(v); })) {
      outcome = {reference::Outcome::ended, ended->status};
      message = fuzzing::first_line(*ended);
    }
  }
  if (!(outcome == expected.outcome) || message != expected.message) {
    fuzzing::disagree("ended " + std::to_string(outcome.message) + " \"" + message +
                      "\", the rules say " + std::to_string(expected.outcome.message) + " \"" +
                      expected.message + "\"");
  }
  for (int t = 1; t <= kRecords; ++t) {
    bool same = fuzzing::same_bits(TIME(t), want.time[t - 1]) &&
                fuzzing::same_bits(PRECURSOR(t), want.precursor[t - 1]);
    for (int j = 1; j <= kBins; ++j) {
      same = same && fuzzing::same_bits(YKELPO(j, t), want.bins[j - 1][t - 1]) &&
             fuzzing::same_bits(WMOL(j, t), want.wmol[j - 1][t - 1]);
    }
    if (!same) fuzzing::disagree("record " + std::to_string(t) + " holds other values");
  }
  for (int unit : {20, 30, 60}) textio::close_unit(unit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzzing::run_input([&] { check_input(data, size); });
}
