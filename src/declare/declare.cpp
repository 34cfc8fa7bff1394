#include "declare/declare.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cassert>
#include <cstddef>
#include <cstdint>

namespace declare {

namespace {

// The program's run data: static, so zero from the start at no cost (.bss),
// and the views below can point at it from their constant initialization.
struct ProgramStorage {
  double time[kRecords];
  double precursor[kRecords];
  double ykelpo[kBins * kRecords];
  double wmol[kBins * kRecords];
  double dykelpo[kBins * kIntervals];
  double avgkelpo[kBins * kIntervals];
  double avgprecursor[kIntervals];
  double avgwmol[kBins];
  double k[kBins];
  double kprecursor[kIntervals];
  double kykelpo[kBins * kIntervals];
  double abvlsx[kIntervals * kCoefficients];
  double abvls[kIntervals * kCoefficients];
  double bbvls[kIntervals];
  double alphal[kCoefficients];
  double alphau[kCoefficients];
  double alpha[kCoefficients];
  std::int32_t istatebvls[kCoefficients + 1];
};
ProgramStorage g_program;

// Has the kernel map every page of the program's run data in one request: a
// run writes all of its 140 or so pages, and a page fault for each costs more
// than the one system call. Only a request: where it is refused, the pages
// come one fault at a time as before; nothing else changes.
void map_run_data() {
#ifdef MADV_POPULATE_WRITE
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto first = reinterpret_cast<std::uintptr_t>(&g_program) & ~(page - 1);
  const auto last = reinterpret_cast<std::uintptr_t>(&g_program) + sizeof g_program;
  ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#endif
}
const bool kRunDataMapped = (map_run_data(), true);

}  // namespace

thread_local constinit Vector<double> TIME("TIME", g_program.time, kRecords);
thread_local constinit Vector<double> PRECURSOR("PRECURSOR", g_program.precursor, kRecords);
thread_local constinit Matrix<double> YKELPO("YKELPO", g_program.ykelpo, kBins, kRecords);
thread_local constinit Matrix<double> WMOL("WMOL", g_program.wmol, kBins, kRecords);
thread_local constinit double DELTAT = 0.0;
thread_local constinit Matrix<double> DYKELPO("DYKELPO", g_program.dykelpo, kBins, kIntervals);
thread_local constinit Matrix<double> AVGKELPO("AVGKELPO", g_program.avgkelpo, kBins, kIntervals);
thread_local constinit Vector<double> AVGPRECURSOR("AVGPRECURSOR", g_program.avgprecursor,
                                                   kIntervals);
thread_local constinit Vector<double> AVGWMOL("AVGWMOL", g_program.avgwmol, kBins);
thread_local constinit double KP = 0.0;
thread_local constinit Vector<double> K("K", g_program.k, kBins);
thread_local constinit Vector<double> KPRECURSOR("KPRECURSOR", g_program.kprecursor, kIntervals);
thread_local constinit Matrix<double> KYKELPO("KYKELPO", g_program.kykelpo, kBins, kIntervals);
thread_local constinit Matrix<double> ABVLSX("ABVLSX", g_program.abvlsx, kIntervals,
                                             kCoefficients);
thread_local constinit Matrix<double> ABVLS("ABVLS", g_program.abvls, kIntervals, kCoefficients);
thread_local constinit Vector<double> BBVLS("BBVLS", g_program.bbvls, kIntervals);
thread_local constinit Vector<double> ALPHAL("ALPHAL", g_program.alphal, kCoefficients);
thread_local constinit Vector<double> ALPHAU("ALPHAU", g_program.alphau, kCoefficients);
thread_local constinit Vector<double> ALPHA("ALPHA", g_program.alpha, kCoefficients);
thread_local constinit Vector<std::int32_t> ISTATEBVLS("ISTATEBVLS", g_program.istatebvls,
                                                       kCoefficients + 1);
thread_local constinit std::int32_t KEYBVLS = 0;
thread_local constinit std::int32_t LOOPABVLS = 0;

namespace {

// The doubles of the run data of n records, in the order RunData lays them
// out.
std::size_t doubles_of(std::size_t n) {
  const std::size_t m = n - 1;
  return 2 * n + 2 * kBins * n + 3 * kBins * m + 3 * m + 2 * kCoefficients * m + 2 * kBins +
         3 * kCoefficients;
}

}  // namespace

RunData::RunData(int records)
    : records_(records), doubles_(doubles_of(static_cast<std::size_t>(records)), 0.0) {
  assert(records >= 2);
}

BindRunData::Names BindRunData::current() {
  return {TIME,    PRECURSOR, YKELPO, WMOL,   DELTAT, DYKELPO, AVGKELPO, AVGPRECURSOR,
          AVGWMOL, KP,        K,      KPRECURSOR, KYKELPO, ABVLSX, ABVLS, BBVLS,
          ALPHAL,  ALPHAU,    ALPHA,  ISTATEBVLS, KEYBVLS, LOOPABVLS};
}

void BindRunData::install(const Names& n) {
  TIME = n.time;
  PRECURSOR = n.precursor;
  YKELPO = n.ykelpo;
  WMOL = n.wmol;
  DELTAT = n.deltat;
  DYKELPO = n.dykelpo;
  AVGKELPO = n.avgkelpo;
  AVGPRECURSOR = n.avgprecursor;
  AVGWMOL = n.avgwmol;
  KP = n.kp;
  K = n.k;
  KPRECURSOR = n.kprecursor;
  KYKELPO = n.kykelpo;
  ABVLSX = n.abvlsx;
  ABVLS = n.abvls;
  BBVLS = n.bbvls;
  ALPHAL = n.alphal;
  ALPHAU = n.alphau;
  ALPHA = n.alpha;
  ISTATEBVLS = n.istatebvls;
  KEYBVLS = n.keybvls;
  LOOPABVLS = n.loopabvls;
}

BindRunData::BindRunData(RunData& data) : saved_(current()) {
  const std::int64_t n = data.records_;
  const std::int64_t m = n - 1;
  double* next = data.doubles_.data();
  auto take = [&next](std::int64_t count) {
    double* first = next;
    next += count;
    return first;
  };
  install({{"TIME", take(n), n},
           {"PRECURSOR", take(n), n},
           {"YKELPO", take(kBins * n), kBins, n},
           {"WMOL", take(kBins * n), kBins, n},
           0.0,
           {"DYKELPO", take(kBins * m), kBins, m},
           {"AVGKELPO", take(kBins * m), kBins, m},
           {"AVGPRECURSOR", take(m), m},
           {"AVGWMOL", take(kBins), kBins},
           0.0,
           {"K", take(kBins), kBins},
           {"KPRECURSOR", take(m), m},
           {"KYKELPO", take(kBins * m), kBins, m},
           {"ABVLSX", take(m * kCoefficients), m, kCoefficients},
           {"ABVLS", take(m * kCoefficients), m, kCoefficients},
           {"BBVLS", take(m), m},
           {"ALPHAL", take(kCoefficients), kCoefficients},
           {"ALPHAU", take(kCoefficients), kCoefficients},
           {"ALPHA", take(kCoefficients), kCoefficients},
           {"ISTATEBVLS", data.state_.data(), kCoefficients + 1},
           0,
           0});
  assert(next == data.doubles_.data() + data.doubles_.size());
}

BindRunData::~BindRunData() { install(saved_); }

}  // namespace declare
