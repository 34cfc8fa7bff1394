#include "driver/setup.hpp"

#include <array>
#include <span>

#include "config/config.hpp"
#include "declare/declare.hpp"
#include "textio/list_directed.hpp"

namespace driver {
namespace {

using declare::K;
using declare::KP;

std::span<const double> whole(diagnostics::FixedVector<double, config::kBins>& array) {
  return std::span<const double>(array.data(), config::kBins);
}

std::span<const double> whole(const diagnostics::Vector<double>& array) {
  return std::span<const double>(array.data(), static_cast<std::size_t>(array.extent()));
}

}  // namespace

void set_start_values(MainVariables& v, const StartValues& start) {
  v.SPECIES = start.species;
  v.NOX = start.nox;
  v.TAG = start.tag;
  v.species_row = start.species_row;
  const std::array<double, config::kBins> factor = config::rate_factors();
  for (int j = 1; j <= config::kBins; ++j) {
    v.CSTR(j) = config::kSaturationConcentrations[j - 1];
    v.FACTOR(j) = factor[j - 1];
  }
}

void choose_rate_constants(MainVariables& v) {
  const config::SpeciesRow& row = config::species_row(v.SPECIES.view(), v.species_row);
  const config::RateConstants rates = config::rate_constants(row, v.TAG.view());
  KP = rates.kp;
  for (int j = 1; j <= config::kBins; ++j) K(j) = rates.k[j - 1];
  // The ideal layout reads its two files from the working directory; the
  // paths printed before stay the standard ones.
  if (config::layout_of(row) == config::Layout::ideal) {
    const config::InputPaths read = config::input_paths(v.SPECIES.view(), v.NOX.view(), row);
    v.FILES = read.bins;
    v.FILEP = read.precursor;
  }
}

void run_setup(MainVariables& v, const StartValues& start) {
  textio::Unit& out = textio::standard_output();
  set_start_values(v, start);
  textio::write_list(out, {"COEFS: ", whole(v.FACTOR)});

  const config::InputPaths paths = config::standard_input_paths(v.SPECIES.view(), v.NOX.view());
  v.FILEW = paths.molar_masses;
  v.FILES = paths.bins;
  v.FILEP = paths.precursor;
  textio::write_list(out, {"files: ", v.FILES.view()});
  textio::write_list(out, {"files: ", v.FILEP.view()});
  textio::write_list(out, {"filew: ", v.FILEW.view()});

  choose_rate_constants(v);
  textio::write_list(out, {"k per sec  ", whole(K)});
}

}  // namespace driver
