// vbsfit._vbsfit: the fit in memory and the fit statistics for Python. The
// pure-Python part (vbsfit/__init__.py) checks shapes, builds the result
// objects and turns endings into exceptions; this part copies the arrays,
// fits with the GIL released and hands back plain values.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "config/species_file.hpp"
#include "driver/in_memory.hpp"
#include "quality/quality.hpp"

namespace py = pybind11;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A copy that no other thread can change while the GIL is released.
std::vector<double> copy_of(const Array& a) {
  return std::vector<double>(a.data(), a.data() + a.size());
}

const char* kind_name(driver::Ending::Kind kind) {
  switch (kind) {
    case driver::Ending::Kind::finished: return "finished";
    case driver::Ending::Kind::input: return "input";
    case driver::Ending::Kind::solver: return "solver";
    case driver::Ending::Kind::diagnostic: return "diagnostic";
  }
  return "diagnostic";
}

py::dict ending_dict(const driver::Ending& e) {
  py::dict d;
  d["kind"] = kind_name(e.kind);
  d["status"] = e.status;
  d["bin"] = e.bin;
  d["message"] = e.message;
  return d;
}

// A fit and its figures, computed without the GIL.
struct Assessed {
  driver::FitOutcome outcome;
  std::vector<quality::Fit> fits;
};

Assessed fit_and_assess(const driver::FitInput& input, double se_limit) {
  Assessed r;
  r.outcome = driver::fit_in_memory(input);
  if (!r.outcome.ending.ok()) return r;
  const driver::FitOutcome& o = r.outcome;
  const std::array<double, config::kCoefficients> rates = config::rate_row(o.rates);
  const quality::Design design = quality::design_of(
      o.intervals, config::kCoefficients, o.a, {input.time, input.precursor, input.bins, rates});
  for (int target = 1; target <= config::kBins; ++target) {
    const driver::SolveRecord& s = o.solves[target - 1];
    const quality::Problem p{o.intervals, config::kCoefficients, o.a, s.b,
                             s.x,         s.lower,               s.upper, target};
    r.fits.push_back(quality::assess(p, design, se_limit));
  }
  return r;
}

py::array_t<double> matrix(const std::vector<double>& values, py::ssize_t rows, py::ssize_t cols) {
  py::array_t<double> a({rows, cols});
  std::copy(values.begin(), values.end(), a.mutable_data());
  return a;
}

py::array_t<double> vector(const std::vector<double>& values) {
  return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

// The rows of a species table file's text (`name` names it in the refusal),
// read by the rules vbsfit-batch --species-table reads them with.
std::vector<config::SpeciesFileRow> table_rows(const std::string& text, const std::string& name) {
  std::vector<config::SpeciesFileRow> rows;
  if (text.empty()) return rows;
  if (std::string why = config::parse_species_file(text, name, rows); !why.empty()) {
    throw py::value_error(why);
  }
  return rows;
}

config::SpeciesRow row_of(const config::SpeciesFileRow& r) {
  return {r.name, r.kp, r.multiplier, r.multiplier6, r.ideal};
}

// The row a species runs with, as the batch chooses it: the table file's,
// else the built-in table's, else the default one (source "none").
struct Choice {
  config::SpeciesRow row;
  const char* source;
};
Choice choose(const std::vector<config::SpeciesFileRow>& rows, std::string_view species) {
  for (const config::SpeciesFileRow& r : rows) {
    if (r.name == species) return {row_of(r), "file"};
  }
  const config::SpeciesRow* built_in = config::find_species(species);
  if (built_in != nullptr) return {*built_in, "built-in"};
  return {config::other_species(), "none"};
}

// How a species and a tag would run, and what vbsfit-batch would say of
// them: its refusals (empty when it takes them) and its warning of a tag
// near a tag name. Names the program could not take at all are left to the
// fit's own refusal.
py::dict resolve(const std::string& table_text, const std::string& table_name,
                 const std::string& species, const std::string& tag, bool allow_unknown) {
  const std::vector<config::SpeciesFileRow> rows = table_rows(table_text, table_name);
  const Choice choice = choose(rows, species);
  py::dict d;
  const bool names_fit =
      config::name_fault(species, config::kSpeciesLength).empty() &&
      config::name_fault(tag, config::kTagLength).empty();
  std::vector<std::string_view> names;
  for (const config::SpeciesFileRow& r : rows) names.push_back(r.name);
  d["tag_refusal"] = names_fit ? config::tag_refusal(tag) : std::string();
  d["tag_warning"] = names_fit ? config::tag_warning(tag) : std::string();
  d["species_refusal"] = names_fit && !allow_unknown && std::string_view(choice.source) == "none"
                             ? config::unknown_species(species, names)
                             : std::string();
  d["source"] = choice.source;
  d["ideal"] = choice.row.ideal;
  const config::RateConstants rates = config::rate_constants(choice.row, tag);
  std::vector<double> values = {rates.kp};
  values.insert(values.end(), rates.k.begin(), rates.k.end());
  d["rates"] = values;
  return d;
}

// The table vbsfit-batch --list-species prints with the same table file:
// the built-in rows, each replaced by the file's row of its name, then the
// file's other rows.
std::string species_list(const std::string& table_text, const std::string& table_name) {
  const std::vector<config::SpeciesFileRow> file = table_rows(table_text, table_name);
  std::vector<config::SpeciesRow> rows;
  for (const config::SpeciesRow& row : config::species_table()) {
    rows.push_back(choose(file, row.key).row);
  }
  for (const config::SpeciesFileRow& r : file) {
    if (config::find_species(r.name) == nullptr) rows.push_back(row_of(r));
  }
  return config::species_file_text(rows);
}

py::dict fit(const Array& time, const Array& precursor, const Array& bins,
             const std::optional<Array>& molar_masses, const std::string& species,
             const std::string& scenario, const std::string& tag,
             const std::optional<std::vector<double>>& rates, double se_limit,
             double misfit_limit) {
  driver::FitInput input;
  const std::vector<double> t = copy_of(time), p = copy_of(precursor), b = copy_of(bins);
  const std::vector<double> w = molar_masses ? copy_of(*molar_masses) : std::vector<double>();
  input.time = t;
  input.precursor = p;
  input.bins = b;
  input.molar_masses = w;
  input.species = species;
  input.scenario = scenario;
  input.tag = tag;
  if (rates) {
    if (rates->size() != config::kCoefficients) {
      throw py::value_error("rates holds " + std::to_string(rates->size()) +
                            " values; KP and K(1 ... 6) are 7");
    }
    config::RateConstants given;
    given.kp = (*rates)[0];
    for (int j = 0; j < config::kBins; ++j) given.k[j] = (*rates)[j + 1];
    input.rates = given;
  }

  Assessed r;
  {
    py::gil_scoped_release unlocked;
    r = fit_and_assess(input, se_limit);
  }
  const driver::FitOutcome& o = r.outcome;
  py::dict out;
  out["ending"] = ending_dict(o.ending);
  if (!o.ending.ok()) return out;

  constexpr int kRows = config::kBins, kCols = config::kCoefficients;
  std::vector<double> coefficients, errors, ols_errors;
  py::list flags, fits;
  for (int row = 0; row < kRows; ++row) {
    const quality::Fit& f = r.fits[row];
    py::list row_flags;
    const bool misfit = quality::is_misfit(f, misfit_limit);
    for (int c = 0; c < kCols; ++c) {
      coefficients.push_back(o.solves[row].reported[c]);
      errors.push_back(f.coefficients[c].standard_error);
      ols_errors.push_back(f.coefficients[c].ols_standard_error);
      row_flags.append(quality::verdict_name(quality::verdict_of(f.coefficients[c], misfit)));
    }
    flags.append(row_flags);
    py::dict fd;
    fd["rss"] = f.rss;
    fd["rms"] = f.rms;
    fd["r_squared"] = f.r_squared;
    fd["autocorrelation"] = f.autocorrelation;
    fits.append(fd);
  }
  // Interval by interval, per target bin: the rate of change the fit
  // describes (its right-hand side) and the fitted combination A x.
  const auto intervals = static_cast<std::size_t>(o.intervals);
  std::vector<double> observed(intervals * kRows), fitted(intervals * kRows);
  for (std::size_t i = 0; i < intervals; ++i) {
    for (int row = 0; row < kRows; ++row) {
      const driver::SolveRecord& s = o.solves[row];
      double sum = 0.0;
      for (int c = 0; c < kCols; ++c) sum += o.a[c * intervals + i] * s.x[c];
      observed[i * kRows + row] = s.b[i];
      fitted[i * kRows + row] = sum;
    }
  }
  out["rates_of_change"] = matrix(observed, o.intervals, kRows);
  out["fitted_rates"] = matrix(fitted, o.intervals, kRows);
  out["coefficients"] = matrix(coefficients, kRows, kCols);
  out["standard_errors"] = matrix(errors, kRows, kCols);
  out["ols_standard_errors"] = matrix(ols_errors, kRows, kCols);
  out["flags"] = flags;
  out["fits"] = fits;
  std::vector<double> rate_values = {o.rates.kp};
  rate_values.insert(rate_values.end(), o.rates.k.begin(), o.rates.k.end());
  out["rates"] = vector(rate_values);
  out["mean_molar_masses"] = vector(std::vector<double>(o.avgwmol.begin(), o.avgwmol.end()));
  out["results_text"] = py::bytes(o.results_text);
  out["records"] = o.records;
  return out;
}

py::dict read_inputs(const std::string& workdir, const std::string& species,
                     const std::string& scenario, const std::string& table_text,
                     const std::string& table_name) {
  const std::vector<config::SpeciesFileRow> rows = table_rows(table_text, table_name);
  const Choice choice = choose(rows, species);
  driver::ReadOutcome r;
  {
    py::gil_scoped_release unlocked;
    r = driver::read_inputs(workdir, species, scenario, &choice.row);
  }
  py::dict out;
  out["ending"] = ending_dict(r.ending);
  if (!r.ending.ok()) return out;
  const auto n = static_cast<py::ssize_t>(r.arrays.time.size());
  out["time"] = vector(r.arrays.time);
  out["precursor"] = vector(r.arrays.precursor);
  out["bins"] = matrix(r.arrays.bins, n, config::kBins);
  if (r.arrays.molar_masses.empty()) {
    out["molar_masses"] = py::none();
  } else {
    out["molar_masses"] = matrix(r.arrays.molar_masses, n, config::kBins);
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(_vbsfit, m) {
  m.doc() = "vbsfit's fit in memory and fit statistics (use the vbsfit package)";
  m.def("fit", &fit, py::arg("time"), py::arg("precursor"), py::arg("bins"),
        py::arg("molar_masses"), py::arg("species"), py::arg("scenario"), py::arg("tag"),
        py::arg("rates"), py::arg("se_limit"), py::arg("misfit_limit"));
  m.def("read_inputs", &read_inputs, py::arg("workdir"), py::arg("species"),
        py::arg("scenario"), py::arg("table_text"), py::arg("table_name"));
  m.def("resolve", &resolve, py::arg("table_text"), py::arg("table_name"), py::arg("species"),
        py::arg("tag"), py::arg("allow_unknown"));
  m.def("species_list", &species_list, py::arg("table_text"), py::arg("table_name"));
  m.attr("INPUTS_DIRECTORY") = std::string(config::kInputsDirectory);
  m.attr("DEFAULT_SCENARIO") = driver::FitInput{}.scenario;  // a label only, for arrays of no file
  m.attr("RECORDS") = config::kRecords;
  m.attr("BINS") = config::kBins;
  m.attr("DEFAULT_SE_LIMIT") = quality::kDefaultSeLimit;
  m.attr("DEFAULT_MISFIT_LIMIT") = quality::kDefaultMisfitLimit;
}
