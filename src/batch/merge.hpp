// Joining the reports of the shards of one study (vbsfit-batch --merge):
// their tables into one set in run-set order, and each configuration's files
// into one runs/ tree, so that the joined report reads like the report of
// the whole study run at once.
#pragma once

#include <string>
#include <vector>

#include "batch/tables.hpp"

namespace batch {

struct MergeResult {
  std::string refusal;     // why the reports do not form one study (status 2)
  std::string error;       // why the joined report could not be written (status 1)
  Tables tables;             // the joined rows of the tables
  double se_limit = 0.0;     // the shards' --se-limit
  double misfit_limit = 0.0; // and --misfit-limit
};

// Joins `shards` (report directories holding every share of one run set)
// into `report`, which must not be one of them.
MergeResult merge_reports(const std::vector<std::string>& shards, const std::string& report);

}  // namespace batch
