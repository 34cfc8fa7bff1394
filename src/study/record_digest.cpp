// The digest of a configuration's record: what a hand edit of its row, its
// coefficients or its fits changes, and nothing the study itself renumbers.
// It reads the rows through the tables' columns (study/columns.hpp), so a
// column added to a table is covered as soon as it is recorded.
#include <algorithm>
#include <string>
#include <vector>

#include "study/columns.hpp"
#include "study/sha256.hpp"
#include "study/study.hpp"

namespace study {
namespace {

// The row's columns, after a mark of its table; the configuration's but for
// the batch that ran it (a merge renumbers the batches).
template <typename Row, std::size_t N>
std::string serialised(int table, const std::array<Column<Row>, N>& columns, const Row& row) {
  Serial out;
  out.integer(table);
  for (const Column<Row>& c : columns) {
    if (c.name != "batch") c.serialise(out, row);
  }
  return out.take();
}

}  // namespace

std::string record_digest(const Stored& stored) {
  std::string bytes = serialised(0, kConfigurationColumns, stored.record);
  bytes += serialised(3, kConfigurationReplayColumns, stored.record);
  bytes += serialised(4, kInputFormatColumns, stored.record);
  // The rows in an order of their own, whatever order they were given in.
  std::vector<std::string> rows;
  for (const CoefficientRow& r : stored.coefficients) {
    rows.push_back(serialised(1, kCoefficientColumns, r));
  }
  for (const FitRow& r : stored.fits) rows.push_back(serialised(2, kFitColumns, r));
  std::sort(rows.begin(), rows.end());
  Serial count;
  count.integer(static_cast<std::int64_t>(rows.size()));
  bytes += count.take();
  for (const std::string& row : rows) bytes += row;
  return sha256(bytes);
}

}  // namespace study
