#include "declare/declare.hpp"

namespace declare {

FixedVector<double, kRecords> TIME("TIME");
FixedVector<double, kRecords> PRECURSOR("PRECURSOR");
FixedMatrix<double, kBins, kRecords> YKELPO("YKELPO");
FixedMatrix<double, kBins, kRecords> WMOL("WMOL");
double DELTAT = 0.0;
FixedMatrix<double, kBins, kIntervals> DYKELPO("DYKELPO");
FixedMatrix<double, kBins, kIntervals> AVGKELPO("AVGKELPO");
FixedVector<double, kIntervals> AVGPRECURSOR("AVGPRECURSOR");
FixedVector<double, kBins> AVGWMOL("AVGWMOL");
double KP = 0.0;
FixedVector<double, kBins> K("K");
FixedVector<double, kIntervals> KPRECURSOR("KPRECURSOR");
FixedMatrix<double, kBins, kIntervals> KYKELPO("KYKELPO");
FixedMatrix<double, kIntervals, kCoefficients> ABVLSX("ABVLSX");
FixedMatrix<double, kIntervals, kCoefficients> ABVLS("ABVLS");
FixedVector<double, kIntervals> BBVLS("BBVLS");
FixedVector<double, kCoefficients> ALPHAL("ALPHAL");
FixedVector<double, kCoefficients> ALPHAU("ALPHAU");
FixedVector<double, kCoefficients> ALPHA("ALPHA");
FixedVector<std::int32_t, kCoefficients + 1> ISTATEBVLS("ISTATEBVLS");
std::int32_t KEYBVLS = 0;
std::int32_t LOOPABVLS = 0;

}  // namespace declare
