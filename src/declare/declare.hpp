// The run data: every array and scalar that the stages of a run hand to one
// another, at fixed extent, zero when the process starts (its pages mapped in
// one request then) and alive until it ends. Indices start at 1; matrices are
// column by column.
//   t record 1 ... 1441, i interval 1 ... 1440, j bin 1 ... 6,
//   c coefficient 1 ... 7 (1 the precursor, j + 1 bin j).
#pragma once

#include <cstdint>

#include "config/config.hpp"
#include "diagnostics/checked.hpp"

namespace declare {

inline constexpr int kRecords = config::kRecords;
inline constexpr int kIntervals = config::kIntervals;
inline constexpr int kBins = config::kBins;
inline constexpr int kCoefficients = config::kCoefficients;

using diagnostics::FixedMatrix;
using diagnostics::FixedVector;

extern FixedVector<double, kRecords> TIME;
extern FixedVector<double, kRecords> PRECURSOR;
extern FixedMatrix<double, kBins, kRecords> YKELPO;
extern FixedMatrix<double, kBins, kRecords> WMOL;
extern double DELTAT;
extern FixedMatrix<double, kBins, kIntervals> DYKELPO;
extern FixedMatrix<double, kBins, kIntervals> AVGKELPO;
extern FixedVector<double, kIntervals> AVGPRECURSOR;
extern FixedVector<double, kBins> AVGWMOL;
extern double KP;
extern FixedVector<double, kBins> K;
extern FixedVector<double, kIntervals> KPRECURSOR;
extern FixedMatrix<double, kBins, kIntervals> KYKELPO;
extern FixedMatrix<double, kIntervals, kCoefficients> ABVLSX;
extern FixedMatrix<double, kIntervals, kCoefficients> ABVLS;
extern FixedVector<double, kIntervals> BBVLS;
extern FixedVector<double, kCoefficients> ALPHAL;
extern FixedVector<double, kCoefficients> ALPHAU;
extern FixedVector<double, kCoefficients> ALPHA;
extern FixedVector<std::int32_t, kCoefficients + 1> ISTATEBVLS;
extern std::int32_t KEYBVLS;
extern std::int32_t LOOPABVLS;

}  // namespace declare
