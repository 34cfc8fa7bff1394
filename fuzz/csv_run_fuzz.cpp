// Any bytes as a CSV run (and, after a NUL byte, its side file of molar
// masses): the reader either refuses them with one line that names the file,
// or gives series of one length, at least 2 records, every value finite and
// time increasing, which the fit in memory then takes without a crash.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "driver/in_memory.hpp"
#include "run_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = bytes.find('\0');
  const std::string_view run = bytes.substr(0, nul);
  const std::string side = nul == std::string_view::npos ? "" : std::string(bytes.substr(nul + 1));
  const bool masses = size % 2 == 0;
  const driver::ReadOutcome read = driver::parse_csv_run(
      run, "run.csv", masses, nul == std::string_view::npos ? nullptr : &side, "side.csv");
  if (!fuzzing::check_run(read, masses)) {
    // A refusal names the file it is about.
    const std::string& m = read.ending.message;
    if (m.rfind("run.csv", 0) != 0 && m.rfind("side.csv", 0) != 0) std::abort();
    return 0;
  }
  const driver::InputArrays& a = read.arrays;
  const std::size_t n = a.time.size();
  // Small runs only: the fit of a long one says nothing more of the reader.
  if (n <= 64) {
    driver::FitInput input;
    input.time = a.time;
    input.precursor = a.precursor;
    input.bins = a.bins;
    input.molar_masses = a.molar_masses;
    driver::fit_in_memory(input);
  }
  return 0;
}
