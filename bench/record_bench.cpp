// Reading records: the time to read one line of 10 to 160 MB through a unit.
// Each byte must be looked at a fixed number of times, so the time grows in
// proportion to the length (it grew with its square when the partial line
// was searched again after every read).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "textio/unit.hpp"

namespace {

constexpr long long kMegabyte = 1 << 20;

// A file of one header line of `bytes` blanks and digits and one short line,
// as a header with no line feed for a long way would be; made once per size.
std::string long_line_file(long long bytes) {
  const char* base = std::getenv("TMPDIR");
  std::string path = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                     "/vbsfit-bench-line-" + std::to_string(bytes);
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::string chunk;
    for (int k = 0; k < 1 << 16; ++k) chunk += k % 8 == 0 ? ' ' : static_cast<char>('0' + k % 10);
    for (long long left = bytes; left > 0; left -= static_cast<long long>(chunk.size())) {
      std::fwrite(chunk.data(), 1, static_cast<std::size_t>(std::min<long long>(left, chunk.size())), f);
    }
    std::fputs("\n  0.30000E+05  0.13690E+01\n", f);
    std::fclose(f);
  }
  return path;
}

void BM_ReadLongLine(benchmark::State& state) {
  const long long bytes = state.range(0) * kMegabyte;
  const std::string path = long_line_file(bytes);
  std::string record;
  for (auto _ : state) {
    textio::Unit& unit = textio::open_unit(20, path, textio::OpenStatus::old_file);
    unit.read_record(record);
    unit.read_record(record);
    textio::close_unit(20);
    benchmark::DoNotOptimize(record.data());
  }
  std::remove(path.c_str());
  state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_ReadLongLine)->Arg(10)->Arg(40)->Arg(160)->Unit(benchmark::kMillisecond);

}  // namespace
