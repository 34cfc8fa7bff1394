// The run data: every array and scalar that the stages of a run hand to one
// another. Indices start at 1; matrices are column by column.
//   t record 1 ... records(), i interval 1 ... intervals(), j bin 1 ... 6,
//   c coefficient 1 ... 7 (1 the precursor, j + 1 bin j).
//
// The stages reach each array by its name (TIME, YKELPO, ABVLS, ...): a view
// that holds the array's storage and its extents, against which every
// subscript is checked. The names are thread-local. Every thread starts with
// them on the program's own storage: 1441 records, static, zero when the
// process starts and alive until it ends, which is all the program ever uses.
// A fit in memory binds them to storage of its own, of any number of records
// (BindRunData), so that fits in several threads at once never share an
// element.
//
// Thread-local views, not a run-data object handed to every stage, because
// the stages and the programs' observers keep reading the run data by the
// names they always had. The views are constant-initialized, so a
// thread-local name costs no more than a global one in the program (one
// %fs-relative load, no initialization guard); measured with `make
// instructions`, the program's run stays within 1 % of the static arrays'.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "diagnostics/checked.hpp"

namespace declare {

// The program's extents, which its own storage is declared with: the
// records a run reads, the bins and the coefficients of a solve. They are
// config's counts of what a configuration has; the driver, which holds the
// two together, checks at compile time that they agree.
inline constexpr int kRecords = 1441;
inline constexpr int kIntervals = kRecords - 1;
inline constexpr int kBins = 6;
inline constexpr int kCoefficients = kBins + 1;  // the precursor, then one per bin

using diagnostics::Matrix;
using diagnostics::Vector;

extern thread_local constinit Vector<double> TIME;              // (records)
extern thread_local constinit Vector<double> PRECURSOR;         // (records)
extern thread_local constinit Matrix<double> YKELPO;            // (6, records)
extern thread_local constinit Matrix<double> WMOL;              // (6, records)
extern thread_local constinit double DELTAT;
extern thread_local constinit Matrix<double> DYKELPO;           // (6, intervals)
extern thread_local constinit Matrix<double> AVGKELPO;          // (6, intervals)
extern thread_local constinit Vector<double> AVGPRECURSOR;      // (intervals)
extern thread_local constinit Vector<double> AVGWMOL;           // (6)
extern thread_local constinit double KP;
extern thread_local constinit Vector<double> K;                 // (6)
extern thread_local constinit Vector<double> KPRECURSOR;        // (intervals)
extern thread_local constinit Matrix<double> KYKELPO;           // (6, intervals)
extern thread_local constinit Matrix<double> ABVLSX;            // (intervals, 7)
extern thread_local constinit Matrix<double> ABVLS;             // (intervals, 7)
extern thread_local constinit Vector<double> BBVLS;             // (intervals)
extern thread_local constinit Vector<double> ALPHAL;            // (7)
extern thread_local constinit Vector<double> ALPHAU;            // (7)
extern thread_local constinit Vector<double> ALPHA;             // (7)
extern thread_local constinit Vector<std::int32_t> ISTATEBVLS;  // (8)
extern thread_local constinit std::int32_t KEYBVLS;
extern thread_local constinit std::int32_t LOOPABVLS;

// The records and intervals of this thread's run data.
inline int records() { return static_cast<int>(TIME.extent()); }
inline int intervals() { return records() - 1; }

// Storage of the run data of one fit in memory: `records` records (at least
// 2), every element zero at start.
class RunData {
 public:
  explicit RunData(int records);
  int records() const { return records_; }

 private:
  friend class BindRunData;
  int records_;
  std::vector<double> doubles_;
  std::array<std::int32_t, kCoefficients + 1> state_{};
};

// For its lifetime, the calling thread's run data is `data` (its scalars
// start at zero); then the views and scalars are put back as they were.
class BindRunData {
 public:
  explicit BindRunData(RunData& data);
  ~BindRunData();
  BindRunData(const BindRunData&) = delete;
  BindRunData& operator=(const BindRunData&) = delete;

 private:
  // Every name of the run data, as one thread has it.
  struct Names {
    Vector<double> time, precursor;
    Matrix<double> ykelpo, wmol;
    double deltat;
    Matrix<double> dykelpo, avgkelpo;
    Vector<double> avgprecursor, avgwmol;
    double kp;
    Vector<double> k, kprecursor;
    Matrix<double> kykelpo, abvlsx, abvls;
    Vector<double> bbvls, alphal, alphau, alpha;
    Vector<std::int32_t> istatebvls;
    std::int32_t keybvls, loopabvls;
  };
  static Names current();
  static void install(const Names& names);
  Names saved_;
};

}  // namespace declare
