// The digest of a configuration's record: what a hand edit of its row, its
// coefficients or its fits changes, and nothing the study itself renumbers.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "study/sha256.hpp"
#include "study/study.hpp"

namespace study {
namespace {

// Fields are written with their lengths, so that no two records serialise
// alike; doubles by their bits, every NaN as one (the database keeps NaN
// as NULL, which reads back as the one quiet NaN).
class Serial {
 public:
  void text(const std::string& value) {
    integer(static_cast<std::int64_t>(value.size()));
    bytes_ += value;
  }
  void integer(std::int64_t value) {
    for (int n = 0; n < 8; ++n) bytes_ += static_cast<char>((static_cast<std::uint64_t>(value) >> (8 * n)) & 0xff);
  }
  void real(double value) {
    integer(std::isnan(value) ? std::int64_t{0x7ff8000000000000}
                              : std::bit_cast<std::int64_t>(value));
  }
  template <typename T> void optional(const std::optional<T>& value) {
    integer(value.has_value());
    if (!value) return;
    if constexpr (std::is_floating_point_v<T>) {
      real(*value);
    } else {
      integer(*value);
    }
  }
  std::string take() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

}  // namespace

namespace {

// The configuration's row but for the batch that ran it (a merge renumbers
// the batches).
void serialise_row(const ConfigurationRecord& c, Serial& out) {
  out.text(c.key.species);
  out.text(c.key.scenario);
  out.text(c.key.tag);
  out.integer(c.run);
  out.integer(c.known_species);
  out.text(c.state);
  out.optional(c.exit_status);
  out.text(c.message);
  out.text(c.results_path);
  out.text(c.results_sha256);
  for (const FileRecord& file : c.inputs) {
    out.text(file.path);
    if (file.path.empty()) continue;  // the database keeps nothing else of an absent input
    out.integer(file.size);
    out.integer(file.mtime_ns);
    out.text(file.sha256);
  }
  out.real(c.kp);
  for (double k : c.k) out.real(k);
  for (double w : c.wmol) out.real(w);
  out.optional(c.undetermined);
  out.optional(c.misfit);
  out.optional(c.seconds);
  out.optional(c.records);
}

std::string serialised(const CoefficientRow& r) {
  Serial row;
  row.integer(0);
  row.integer(r.target_bin);
  row.text(r.term);
  row.real(r.coefficient);
  row.real(r.lower);
  row.real(r.upper);
  row.integer(r.at_bound);
  row.real(r.standard_error);
  row.text(r.flag);
  row.real(r.ols_standard_error);
  return row.take();
}

std::string serialised(const FitRow& r) {
  Serial row;
  row.integer(1);
  row.integer(r.target_bin);
  row.real(r.rss);
  row.real(r.rms);
  row.real(r.r_squared);
  row.real(r.relative_residual);
  row.real(r.autocorrelation);
  row.integer(r.misfit);
  return row.take();
}

}  // namespace

std::string record_digest(const Stored& stored) {
  Serial out;
  serialise_row(stored.record, out);
  // The rows in an order of their own, whatever order they were given in.
  std::vector<std::string> rows;
  for (const CoefficientRow& r : stored.coefficients) rows.push_back(serialised(r));
  for (const FitRow& r : stored.fits) rows.push_back(serialised(r));
  std::sort(rows.begin(), rows.end());
  out.integer(static_cast<std::int64_t>(rows.size()));
  std::string bytes = out.take();
  for (const std::string& row : rows) bytes += row;
  return sha256(bytes);
}

}  // namespace study
