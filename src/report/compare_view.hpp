// The page of two fits of a study compared coefficient by coefficient
// (vbsfit-batch --compare): every change against its combined standard
// error, the largest first, the verdicts that changed, a chart of the
// changes per coefficient, and the configurations only one side holds.
#pragma once

#include <limits>
#include <string>
#include <vector>

namespace report {

inline constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();

// One coefficient of a configuration both sides hold.
struct ComparedCoefficient {
  std::string species;
  std::string scenario;
  std::string tag;
  int bin = 0;       // target bin 1 ... 6
  std::string term;  // "VOC", "VB1" ... "VB6"
  double value_a = kUnknown;
  double value_b = kUnknown;
  double standard_error_a = kUnknown;  // NaN: no meaning, +inf: a dependent column
  double standard_error_b = kUnknown;
  std::string verdict_a;
  std::string verdict_b;
  double replay_error_a = kUnknown;  // the bin's replay error; NaN: not recorded
  double replay_error_b = kUnknown;

  double change() const { return value_b - value_a; }
  double combined_standard_error() const;
  // The change over the combined standard error: 0 for no change, NaN when
  // the combined error is unknown, infinite when it is 0.
  double change_in_standard_errors() const;
  // Whether the value or the verdict differs (bit for bit: -0.0 is 0.0).
  bool changed() const;
};

struct ComparedKey {
  std::string species;
  std::string scenario;
  std::string tag;
};

struct Comparison {
  std::string side_a;  // what each side is, as the page names it
  std::string side_b;
  std::vector<ComparedCoefficient> rows;  // every coefficient of the configurations in both
  int configurations = 0;                 // in both
  std::vector<ComparedKey> only_a;
  std::vector<ComparedKey> only_b;
};

// The changed coefficients, largest change in standard errors first (an
// unknown one after the known ones, then by the size of the change).
std::vector<const ComparedCoefficient*> largest_changes(const Comparison& comparison);

// The page: p#sides, table#changes (tr[data-in-se]), svg#change-chart,
// ul#only-a and ul#only-b.
std::string render_comparison(const Comparison& comparison);

}  // namespace report
