#include "declare/declare.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace declare {

namespace {

// The first and one-past-last byte of `object`.
template <typename T>
std::pair<std::uintptr_t, std::uintptr_t> bytes_of(const T& object) {
  const auto first = reinterpret_cast<std::uintptr_t>(&object);
  return {first, first + sizeof object};
}

// Has the kernel map every page of the run data in one request: a run
// writes all of its 140 or so pages, and a page fault for each costs more
// than the one system call. Only a request: where it is refused, the pages
// come one fault at a time as before; nothing else changes.
void map_run_data() {
#ifdef MADV_POPULATE_WRITE
  // The run data lies together in .bss; the pages from its first to its last
  // byte are mapped writable, as its first writes would map them.
  const std::pair<std::uintptr_t, std::uintptr_t> objects[] = {
      bytes_of(TIME),       bytes_of(PRECURSOR),  bytes_of(YKELPO),       bytes_of(WMOL),
      bytes_of(DELTAT),     bytes_of(DYKELPO),    bytes_of(AVGKELPO),     bytes_of(AVGPRECURSOR),
      bytes_of(AVGWMOL),    bytes_of(KP),         bytes_of(K),            bytes_of(KPRECURSOR),
      bytes_of(KYKELPO),    bytes_of(ABVLSX),     bytes_of(ABVLS),        bytes_of(BBVLS),
      bytes_of(ALPHAL),     bytes_of(ALPHAU),     bytes_of(ALPHA),        bytes_of(ISTATEBVLS),
      bytes_of(KEYBVLS),    bytes_of(LOOPABVLS)};
  std::uintptr_t first = objects[0].first;
  std::uintptr_t last = objects[0].second;
  for (const auto& [begin, end] : objects) {
    first = std::min(first, begin);
    last = std::max(last, end);
  }
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  first &= ~(page - 1);
  ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#endif
}

// Initialized before the arrays below (a file initializes its variables in
// order), so that even their constructors find the pages mapped.
const bool kRunDataMapped = (map_run_data(), true);

}  // namespace

// Static storage: zero from the start, so the constructors only set the names.
using diagnostics::static_storage;

FixedVector<double, kRecords> TIME("TIME", static_storage);
FixedVector<double, kRecords> PRECURSOR("PRECURSOR", static_storage);
FixedMatrix<double, kBins, kRecords> YKELPO("YKELPO", static_storage);
FixedMatrix<double, kBins, kRecords> WMOL("WMOL", static_storage);
double DELTAT = 0.0;
FixedMatrix<double, kBins, kIntervals> DYKELPO("DYKELPO", static_storage);
FixedMatrix<double, kBins, kIntervals> AVGKELPO("AVGKELPO", static_storage);
FixedVector<double, kIntervals> AVGPRECURSOR("AVGPRECURSOR", static_storage);
FixedVector<double, kBins> AVGWMOL("AVGWMOL", static_storage);
double KP = 0.0;
FixedVector<double, kBins> K("K", static_storage);
FixedVector<double, kIntervals> KPRECURSOR("KPRECURSOR", static_storage);
FixedMatrix<double, kBins, kIntervals> KYKELPO("KYKELPO", static_storage);
FixedMatrix<double, kIntervals, kCoefficients> ABVLSX("ABVLSX", static_storage);
FixedMatrix<double, kIntervals, kCoefficients> ABVLS("ABVLS", static_storage);
FixedVector<double, kIntervals> BBVLS("BBVLS", static_storage);
FixedVector<double, kCoefficients> ALPHAL("ALPHAL", static_storage);
FixedVector<double, kCoefficients> ALPHAU("ALPHAU", static_storage);
FixedVector<double, kCoefficients> ALPHA("ALPHA", static_storage);
FixedVector<std::int32_t, kCoefficients + 1> ISTATEBVLS("ISTATEBVLS", static_storage);
std::int32_t KEYBVLS = 0;
std::int32_t LOOPABVLS = 0;

}  // namespace declare
