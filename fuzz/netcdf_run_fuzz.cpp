// Any bytes as a NetCDF run (the NetCDF library reads them from memory):
// the reader either refuses them with one line, or gives series of one
// length, at least 2 records, every value finite and time increasing.
#include <cstdint>
#include <string_view>

#include "driver/run_files.hpp"
#include "run_checks.hpp"

// The NetCDF library sizes its tables from a classic header's counts before
// it checks them against the bytes there are: a corrupt count asks for
// gigabytes. Such a request comes back null here, as on a machine that
// does not overcommit, and the library reports a failure to allocate, which
// the reader passes on; it is no fault of the reader's.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=1024";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bool masses = size % 2 == 0;
  const driver::ReadOutcome read = driver::read_netcdf_bytes(bytes, "run.nc", {}, masses);
  fuzzing::check_run(read, masses);
  return 0;
}
