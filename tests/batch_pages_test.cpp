// The rows of the report's index.html, as the batch makes them.
#include "batch/pages.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(IndexRow, AFittedConfigurationShowsItsWorstRSquaredAndUndeterminedCount) {
  batch::FitNumbers fit{};
  for (batch::BinFit& bin : fit.bins) bin.quality.r_squared = 0.9;
  fit.bins[2].quality.r_squared = 0.5;
  fit.bins[4].quality.r_squared = std::nan("");  // a constant rate of change has none
  fit.bins[0].quality.coefficients[3].flag = quality::Flag::undetermined;
  fit.bins[5].quality.coefficients[0].flag = quality::Flag::undetermined;
  batch::PageEntry entry{{"NEW", "0.1", "allgas"}, "succeeded", "", true, fit, true};
  const report::IndexRow row = batch::index_row(entry);
  EXPECT_EQ(row.worst_r_squared, 0.5);
  EXPECT_EQ(row.undetermined, 2);
  EXPECT_EQ(row.state, "succeeded");
  EXPECT_TRUE(row.linked);
  EXPECT_FALSE(row.known_species);

  entry.page = false;  // its page could not be written: nothing to show or link
  const report::IndexRow unlinked = batch::index_row(entry);
  EXPECT_TRUE(std::isnan(unlinked.worst_r_squared));
  EXPECT_EQ(unlinked.undetermined, -1);
  EXPECT_FALSE(unlinked.linked);
}

}  // namespace
