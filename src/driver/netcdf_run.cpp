// The NetCDF reader (the NetCDF C library): only the programs around vbsfit
// link it, never vbsfit itself.
#include <netcdf.h>
#include <netcdf_mem.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>

#include <cmath>
#include <mutex>
#include <optional>
#include <vector>

#include "config/formats.hpp"
#include "driver/run_files.hpp"

namespace driver {
namespace {

using config::kBins;
using config::shortest;

// The library keeps global state without locks.
std::mutex g_netcdf_mutex;

// A refusal: what the batch and the Python callers show.
struct Refusal {
  std::string message;
};

// Closes the file when the read is done, however it ends.
class OpenFile {
 public:
  explicit OpenFile(int id) : id_(id) {}
  ~OpenFile() { nc_close(id_); }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

 private:
  int id_;
};

// One series' variable as found in the file.
struct Variable {
  std::string role;  // time, precursor, bin3, molar_mass2, ...
  std::string name;  // in the file
  int id = -1;
  bool scalar = false;
};

class Reader {
 public:
  Reader(int ncid, std::string_view path, std::size_t size_limit)
      : ncid_(ncid), path_(path), size_limit_(size_limit) {}

  // Reads the run. Throws Refusal.
  InputArrays read(const NetcdfNames& names, bool molar_masses) {
    const Variable time = time_variable(names.time);
    std::size_t records = 0;
    check(nc_inq_dimlen(ncid_, time_dimension_, &records), "the time dimension");
    if (records < 2) {
      refuse(where(time) + ": the time dimension has " + std::to_string(records) +
             (records == 1 ? " record" : " records") + "; a fit needs at least 2 (one interval)");
    }
    if (records > size_limit_) {
      refuse(where(time) + ": the time dimension claims " + std::to_string(records) +
             " records, more than the file can hold");
    }
    records_ = records;
    InputArrays a;
    a.time = values(time);
    convert_time(time, a.time);
    a.precursor = values(series(names.precursor, "precursor", false));
    std::optional<std::string> concentration_units = units_of(find(names.precursor));
    std::string units_from = "precursor";
    std::vector<std::vector<double>> bins;
    for (int j = 1; j <= kBins; ++j) {
      const Variable bin = series(names.bins[j - 1], "bin" + std::to_string(j), false);
      const std::optional<std::string> units = units_of(bin.id);
      if (units && concentration_units && *units != *concentration_units) {
        refuse(where(bin) + ": units '" + config::printable(*units) + "' where " + units_from +
               " has '" + config::printable(*concentration_units) +
               "'; the precursor and the bins must share one unit");
      }
      if (units && !concentration_units) {
        concentration_units = units;
        units_from = bin.role;
      }
      bins.push_back(values(bin));
    }
    a.bins = by_record(bins);
    if (molar_masses) {
      std::vector<std::vector<double>> masses;
      for (int j = 1; j <= kBins; ++j) {
        const Variable mass =
            series(names.molar_masses[j - 1], "molar_mass" + std::to_string(j), true);
        if (const auto units = units_of(mass.id); units && !molar_mass_units(*units)) {
          refuse(where(mass) + ": units '" + config::printable(*units) +
                 "'; molar masses must be in g/mol");
        }
        std::vector<double> v = values(mass);
        if (mass.scalar) v.assign(records_, v.front());
        masses.push_back(std::move(v));
      }
      a.molar_masses = by_record(masses);
    }
    return a;
  }

 private:
  [[noreturn]] void refuse(std::string message) { throw Refusal{std::move(message)}; }

  std::string where(const Variable& v) const {
    return std::string(path_) + ", variable " + config::printable(v.name);
  }

  void check(int status, const std::string& what) {
    if (status != NC_NOERR) {
      refuse(std::string(path_) + ": cannot read " + what + ": " + nc_strerror(status));
    }
  }

  std::optional<int> find(const std::string& name) const {
    int id = -1;
    if (nc_inq_varid(ncid_, name.c_str(), &id) != NC_NOERR) return std::nullopt;
    return id;
  }

  // The time variable, whose one dimension is the time dimension.
  Variable time_variable(const std::string& name) {
    const std::optional<int> id = find(name);
    if (!id) {
      int dimension = -1;
      const bool named_time = nc_inq_dimid(ncid_, "time", &dimension) == NC_NOERR;
      refuse(std::string(path_) + " has no time dimension: no variable " +
             config::printable(name) +
             (named_time ? " (it has a dimension time but no variable of that name)" : "") +
             "; --netcdf-variables time=NAME names another");
    }
    Variable v{"time", name, *id, false};
    int dimensions = 0;
    check(nc_inq_varndims(ncid_, v.id, &dimensions), "variable " + name);
    if (dimensions != 1) {
      refuse(where(v) + " has " + std::to_string(dimensions) +
             " dimensions; it must have one, the time dimension");
    }
    check(nc_inq_vardimid(ncid_, v.id, &time_dimension_), "variable " + name);
    check_type(v);
    return v;
  }

  void check_type(const Variable& v) {
    nc_type type = NC_NAT;
    check(nc_inq_vartype(ncid_, v.id, &type), "variable " + v.name);
    if (type == NC_CHAR || type == NC_STRING || type > NC_STRING) {
      refuse(where(v) + " holds no numbers (the " + v.role + " series must be numeric)");
    }
  }

  // The variable of `role`, over the time dimension (or, when `scalar_ok`,
  // a scalar).
  Variable series(const std::string& name, const std::string& role, bool scalar_ok) {
    const std::optional<int> id = find(name);
    if (!id) {
      refuse(std::string(path_) + " has no variable " + config::printable(name) + " (the " +
             role + " series" + (name != role ? "" : "; --netcdf-variables " + role +
                                                        "=NAME names another") + ")");
    }
    Variable v{role, name, *id, false};
    int dimensions = 0;
    check(nc_inq_varndims(ncid_, v.id, &dimensions), "variable " + name);
    if (dimensions == 0 && scalar_ok) {
      v.scalar = true;
    } else if (dimensions != 1) {
      refuse(where(v) + " has " + std::to_string(dimensions) +
             " dimensions; it must have one, the time dimension" +
             (scalar_ok ? ", or none" : ""));
    } else {
      int dimension = -1;
      check(nc_inq_vardimid(ncid_, v.id, &dimension), "variable " + name);
      if (dimension != time_dimension_) {
        char found[NC_MAX_NAME + 1] = "";
        nc_inq_dimname(ncid_, dimension, found);
        refuse(where(v) + " is over the dimension " + config::printable(found) +
               ", not the time dimension of the time variable");
      }
    }
    check_type(v);
    return v;
  }

  // The values of `v`, each finite and none the fill value.
  std::vector<double> values(const Variable& v) {
    std::vector<double> out(v.scalar ? 1 : records_);
    check(nc_get_var_double(ncid_, v.id, out.data()), "variable " + v.name);
    // A value never written holds the fill value: the variable's own, or
    // the library's default for its type.
    std::optional<double> fill;
    double f = 0.0;
    nc_type type = NC_NAT;
    if (nc_get_att_double(ncid_, v.id, "_FillValue", &f) == NC_NOERR) {
      fill = f;
    } else if (nc_inq_vartype(ncid_, v.id, &type) == NC_NOERR) {
      if (type == NC_DOUBLE) fill = NC_FILL_DOUBLE;
      if (type == NC_FLOAT) fill = static_cast<double>(NC_FILL_FLOAT);
    }
    for (std::size_t k = 0; k < out.size(); ++k) {
      if (!(fill && out[k] == *fill) && std::isfinite(out[k])) continue;
      const std::string at = where(v) + ", index " + std::to_string(k) + " (record " +
                             std::to_string(k + 1) + ")";
      if (fill && out[k] == *fill) refuse(at + ": missing (the fill value " + shortest(*fill) + ")");
      refuse(at + ": " + shortest(out[k]) + " is not finite");
    }
    return out;
  }

  // The units attribute of variable `id`, when it has one.
  std::optional<std::string> units_of(std::optional<int> id) {
    if (!id) return std::nullopt;
    nc_type type = NC_NAT;
    std::size_t length = 0;
    if (nc_inq_att(ncid_, *id, "units", &type, &length) != NC_NOERR) return std::nullopt;
    char name[NC_MAX_NAME + 1] = "";
    nc_inq_varname(ncid_, *id, name);
    const std::string where_text = std::string(path_) + ", variable " + config::printable(name);
    if (type == NC_CHAR) {
      std::string text(length, '\0');
      check(nc_get_att_text(ncid_, *id, "units", text.data()), "the units of " + std::string(name));
      while (!text.empty() && text.back() == '\0') text.pop_back();
      return text;
    }
    if (type == NC_STRING && length == 1) {
      char* text = nullptr;
      check(nc_get_att_string(ncid_, *id, "units", &text), "the units of " + std::string(name));
      std::string units = text != nullptr ? text : "";
      nc_free_string(1, &text);
      return units;
    }
    refuse(where_text + ": its units attribute is not text");
  }

  // Time in seconds, and increasing.
  void convert_time(const Variable& time, std::vector<double>& t) {
    if (const auto units = units_of(time.id)) {
      const double factor = seconds_per_unit(*units);
      if (factor == 0.0) {
        refuse(where(time) + ": units '" + config::printable(*units) +
               "' are not a time unit; time must be in s, min, h or days");
      }
      if (factor != 1.0) {
        for (std::size_t k = 0; k < t.size(); ++k) {
          const double seconds = t[k] * factor;
          if (!std::isfinite(seconds)) {
            refuse(where(time) + ", index " + std::to_string(k) + " (record " +
                   std::to_string(k + 1) + "): " + shortest(t[k]) + " " +
                   config::printable(*units) + " is more seconds than a number holds");
          }
          t[k] = seconds;
        }
      }
    }
    for (std::size_t k = 1; k < t.size(); ++k) {
      if (!(t[k] > t[k - 1])) {
        refuse(where(time) + ", index " + std::to_string(k) + " (record " +
               std::to_string(k + 1) + "): time " + shortest(t[k]) + " s does not follow " +
               shortest(t[k - 1]) + " s; time must increase from record to record");
      }
    }
  }

  static bool molar_mass_units(std::string_view units) {
    for (std::string_view u : {"g/mol", "g mol-1", "g mol^-1", "g mol**-1", "g.mol-1"}) {
      if (units == u) return true;
    }
    return false;
  }

  // Series by series into records of six, as FitInput takes them.
  std::vector<double> by_record(const std::vector<std::vector<double>>& series) const {
    std::vector<double> out(records_ * kBins);
    for (std::size_t t = 0; t < records_; ++t) {
      for (int j = 0; j < kBins; ++j) out[t * kBins + j] = series[j][t];
    }
    return out;
  }

  int ncid_;
  std::string_view path_;
  std::size_t size_limit_;
  int time_dimension_ = -1;
  std::size_t records_ = 0;
};

// Walks the header of a classic NetCDF file (CDF-1, CDF-2 or CDF-5: the
// "classic format" of the NetCDF users' guide) and returns why it cannot be
// one, or empty. The library sizes its tables from the header's counts
// before it checks them against the bytes there are, and on some corrupt
// counts fails in ways that end the process; no count here exceeds the
// bytes left, every dimension a variable names exists, and the record
// dimension comes first where it comes at all. Other files
// (NetCDF-4, HDF5 inside) are left to the library.
class ClassicHeader {
 public:
  explicit ClassicHeader(std::string_view bytes) : bytes_(bytes) {}

  std::string fault() {
    if (bytes_.size() < 4 || bytes_.substr(0, 3) != "CDF") return {};
    const int version = static_cast<unsigned char>(bytes_[3]);
    if (version != 1 && version != 2 && version != 5) return "an unknown classic version";
    wide_ = version == 5;
    at_ = 4;
    std::uint64_t value = 0;
    if (!size(value)) return truncated();                        // number of records
    std::uint64_t dimensions = 0;
    if (!list(0x0A, dimensions)) return truncated();
    std::vector<bool> unlimited;  // length 0: the record dimension
    for (std::uint64_t d = 0; d < dimensions; ++d) {
      if (!name() || !size(value)) return truncated();
      unlimited.push_back(value == 0);
    }
    if (!attributes()) return truncated();
    std::uint64_t variables = 0;
    if (!list(0x0B, variables)) return truncated();
    for (std::uint64_t v = 0; v < variables; ++v) {
      std::uint64_t rank = 0;
      if (!name() || !count(rank)) return truncated();
      for (std::uint64_t k = 0; k < rank; ++k) {
        if (!size(value)) return truncated();
        if (value >= dimensions) return "a variable names a dimension the file does not have";
        if (k > 0 && unlimited[value]) {
          return "a variable has the record dimension other than first";
        }
      }
      std::uint64_t type = 0;
      if (!attributes() || !word(4, type) || !size(value) || !word(version == 1 ? 4 : 8, value)) {
        return truncated();
      }
      if (type == 0 || type > (wide_ ? 11u : 6u)) return "a variable has no type of the format";
    }
    return {};
  }

 private:
  static std::string truncated() { return "its header is damaged: a count exceeds the file"; }

  bool word(std::size_t width, std::uint64_t& value) {
    if (bytes_.size() - at_ < width) return false;
    value = 0;
    for (std::size_t k = 0; k < width; ++k) {
      value = value << 8 | static_cast<unsigned char>(bytes_[at_ + k]);
    }
    at_ += width;
    return true;
  }
  bool size(std::uint64_t& value) { return word(wide_ ? 8 : 4, value); }
  // A count of things that take at least one byte each: no more than are left.
  bool count(std::uint64_t& value) { return size(value) && value <= bytes_.size() - at_; }
  bool skip(std::uint64_t bytes) {
    const std::uint64_t padded = (bytes + 3) / 4 * 4;
    if (bytes > bytes_.size() || padded > bytes_.size() - at_) return false;
    at_ += padded;
    return true;
  }
  bool name() {
    std::uint64_t length = 0;
    return count(length) && skip(length);
  }
  // ABSENT (two zero words) or the tag and a count.
  bool list(std::uint64_t tag, std::uint64_t& n) {
    std::uint64_t found = 0;
    if (!word(4, found) || !count(n)) return false;
    return found == tag || (found == 0 && n == 0);
  }
  bool attributes() {
    std::uint64_t n = 0;
    if (!list(0x0C, n)) return false;
    for (std::uint64_t a = 0; a < n; ++a) {
      std::uint64_t type = 0, values = 0;
      if (!name() || !word(4, type) || !count(values)) return false;
      static constexpr std::uint64_t kBytes[] = {0, 1, 1, 2, 4, 4, 8, 1, 2, 4, 8, 8};
      if (type == 0 || type > (wide_ ? 11u : 6u) || values > bytes_.size() / kBytes[type]) {
        return false;
      }
      if (!skip(values * kBytes[type])) return false;
    }
    return true;
  }

  std::string_view bytes_;
  std::size_t at_ = 0;
  bool wide_ = false;
};

ReadOutcome refused(std::string message) {
  ReadOutcome out;
  out.ending = {Ending::Kind::input, 1, 0, std::move(message)};
  return out;
}

ReadOutcome read_open(int status, int ncid, std::string_view path, std::size_t size_limit,
                      const NetcdfNames& names, bool molar_masses) {
  ReadOutcome out;
  if (status != NC_NOERR) {
    out.ending = {Ending::Kind::input, 1, 0,
                  "cannot read " + std::string(path) + " as NetCDF: " + nc_strerror(status)};
    return out;
  }
  OpenFile open(ncid);
  try {
    out.arrays = Reader(ncid, path, size_limit).read(names, molar_masses);
  } catch (const Refusal& refusal) {
    out.ending = {Ending::Kind::input, 1, 0, refusal.message};
  }
  return out;
}

}  // namespace

void prepare_netcdf() {
  std::lock_guard<std::mutex> lock(g_netcdf_mutex);
  nc_initialize();
}

ReadOutcome read_netcdf_run(const std::string& path, const NetcdfNames& names, bool molar_masses) {
  // Read whole, so that its header is checked before the library sees it.
  std::string bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return refused("cannot open " + path + ": " + std::strerror(errno));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      ::close(fd);
      return refused("cannot read " + path + ": " + std::strerror(error));
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return read_netcdf_bytes(bytes, path, names, molar_masses);
}

ReadOutcome read_netcdf_bytes(std::string_view bytes, std::string_view path,
                              const NetcdfNames& names, bool molar_masses) {
  if (std::string fault = ClassicHeader(bytes).fault(); !fault.empty()) {
    return refused("cannot read " + std::string(path) + " as NetCDF: " + fault);
  }
  std::lock_guard<std::mutex> lock(g_netcdf_mutex);
  // The library may keep a pointer to the memory while the file is open.
  std::string copy(bytes);
  int ncid = -1;
  const int status =
      nc_open_mem(std::string(path).c_str(), NC_NOWRITE, copy.size(), copy.data(), &ncid);
  return read_open(status, ncid, path, copy.size(), names, molar_masses);
}

}  // namespace driver
