#include <cstdint>
#include <span>
#include <string>

#include "declare/declare.hpp"
#include "driver/main_program.hpp"
#include "textio/list_directed.hpp"

namespace driver {
namespace {

using declare::K;
using declare::KP;

// One row of the species table. The constants are single-precision numbers
// that the program widens to double; the float literals make that exact.
struct SpeciesRow {
  const char* key;
  float kp;
  float multiplier;    // for K(1 ... 5)
  float multiplier6;   // for K(6)
  bool ideal;          // the ideal input layout
};

constexpr SpeciesRow kSpeciesTable[] = {
    {"ideal", 2e-05f, 3.4722223e-05f, 3.4722223e-05f, true},
    {"c12", 2.6400001e-05f, 4e-05f, 4e-05f, false},
    {"C16", 3.92e-05f, 4e-05f, 4e-05f, false},
    {"ALK4", 8.7626395e-06f, 4e-05f, 4e-05f, false},
    {"c18", 4.48e-05f, 4e-05f, 4e-05f, false},
    {"c22", 5.62e-05f, 4e-05f, 4e-05f, false},
    {"TOL", 1.12e-05f, 4e-05f, 4e-05f, false},
    {"xyl", 2.86e-05f, 4e-05f, 4e-05f, false},
    {"API_OH", 0.000104399995f, 4e-05f, 0.00027777778f, false},
    {"lim", 0.000328f, 4e-05f, 4e-05f, false},
    {"TERP_OH", 0.0001651344f, 4e-05f, 4e-05f, false},
    {"ISO_OH", 0.0001966f, 4e-05f, 4e-05f, false},
    {"OLE1_OH", 9.36e-05f, 4e-05f, 4e-05f, false},
    {"OLE2_OH", 0.0001412f, 4e-05f, 4e-05f, false},
};
// Any species that matches no key.
constexpr SpeciesRow kOtherSpecies = {"", 2e-05f, 4e-05f, 4e-05f, false};

const SpeciesRow& find_species(const textio::FixedText<10>& species) {
  for (const SpeciesRow& row : kSpeciesTable) {
    if (species == row.key) return row;
  }
  return kOtherSpecies;
}

std::string input_path(const MainVariables& v, std::string_view file) {
  std::string path = "../INPUTS_ODE/5days/";
  path += v.NOX.trimmed();
  path += "_aer.";
  path += v.SPECIES.trimmed();
  path += "/";
  path += file;
  return path;
}

std::span<const double> whole(diagnostics::FixedVector<double, 6>& array) {
  return std::span<const double>(array.data(), 6);
}

}  // namespace

void set_start_values(MainVariables& v, const StartValues& start) {
  v.SPECIES = start.species;
  v.NOX = start.nox;
  v.TAG = start.tag;
  // The two smallest saturation concentrations are single-precision numbers.
  v.CSTR(1) = 10000.0;
  v.CSTR(2) = 100.0;
  v.CSTR(3) = 10.0;
  v.CSTR(4) = 1.0;
  v.CSTR(5) = static_cast<double>(0.1f);
  v.CSTR(6) = static_cast<double>(0.001f);
  for (int j = 1; j <= 6; ++j) v.FACTOR(j) = v.CSTR(j) / (v.CSTR(j) + 10.0);
}

void choose_rate_constants(MainVariables& v) {
  const SpeciesRow& row = find_species(v.SPECIES);
  KP = static_cast<double>(row.kp);
  for (int j = 1; j <= 5; ++j) K(j) = v.FACTOR(j) * static_cast<double>(row.multiplier);
  K(6) = v.FACTOR(6) * static_cast<double>(row.multiplier6);
  if (row.ideal) {
    v.FILES = "aer.ideal";
    v.FILEP = "aer.precursor.ideal";
  }

  std::string_view tag = v.TAG.trimmed();
  if (tag == "static") {
    for (int j = 1; j <= 6; ++j) K(j) = 0.0;
  } else if (tag == "no56") {
    K(5) = 0.0;
    K(6) = 0.0;
  } else if (tag == "no6") {
    K(6) = 0.0;
  }
}

void run_setup(MainVariables& v, const StartValues& start) {
  textio::Unit& out = textio::standard_output();
  set_start_values(v, start);
  textio::write_list(out, {"COEFS: ", whole(v.FACTOR)});

  v.FILEW = input_path(v, "aer.wmol_vbs.6");
  v.FILES = input_path(v, "aer.cdis_all.6");
  v.FILEP = input_path(v, "aer.precursor");
  textio::write_list(out, {"files: ", v.FILES.view()});
  textio::write_list(out, {"files: ", v.FILEP.view()});
  textio::write_list(out, {"filew: ", v.FILEW.view()});

  choose_rate_constants(v);
  textio::write_list(out, {"k per sec  ", whole(K)});
}

}  // namespace driver
