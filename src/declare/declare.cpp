#include "declare/declare.hpp"

namespace declare {

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
