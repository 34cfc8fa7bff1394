// Species table files: the rows they give, the rows they refuse and why, and
// the built-in table written in their form reading back to the same bits.
#include "config/species_file.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>

namespace {

const std::string kHeader = std::string(config::kSpeciesFileHeader) + "\n";

TEST(SpeciesFile, TheBuiltInTableWrittenOutReadsBackToTheSameBits) {
  std::vector<config::SpeciesFileRow> rows;
  ASSERT_EQ(config::parse_species_file(config::species_file_text(config::species_table()),
                                       "species.csv", rows),
            "");
  ASSERT_EQ(rows.size(), config::species_table().size());
  for (std::size_t n = 0; n < rows.size(); ++n) {
    const config::SpeciesRow& built_in = config::species_table()[n];
    EXPECT_EQ(rows[n].name, built_in.key);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(rows[n].kp), std::bit_cast<std::uint32_t>(built_in.kp));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(rows[n].multiplier),
              std::bit_cast<std::uint32_t>(built_in.multiplier));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(rows[n].multiplier6),
              std::bit_cast<std::uint32_t>(built_in.multiplier6));
    EXPECT_EQ(rows[n].ideal, built_in.ideal) << built_in.key;
  }
}

TEST(SpeciesFile, NumbersAreReadInSinglePrecisionWhateverDigitsTheyHave) {
  // The widened double of API_OH's KP, as the old listing showed it, and the
  // float's own shortest text give the same constant.
  std::vector<config::SpeciesFileRow> rows;
  ASSERT_EQ(config::parse_species_file(kHeader +
                                           "A,0.00010439999459777027,4e-05,0.00027777778\n"
                                           "B,0.000104399995,3.9999998989515007e-05,2.7777778e-4\n",
                                       "t.csv", rows),
            "");
  ASSERT_EQ(rows.size(), 2u);
  const config::SpeciesRow& api = *config::find_species("API_OH");
  for (const config::SpeciesFileRow& row : rows) {
    EXPECT_EQ(row.kp, api.kp) << row.name;
    EXPECT_EQ(row.multiplier, api.multiplier) << row.name;
    EXPECT_EQ(row.multiplier6, api.multiplier6) << row.name;
    EXPECT_FALSE(row.ideal);
  }
}

TEST(SpeciesFile, CommentsBlankLinesByteOrderMarkAndAnOptionalLayoutColumn) {
  std::vector<config::SpeciesFileRow> rows;
  ASSERT_EQ(config::parse_species_file("\xEF\xBB\xBF# my species\n\nspecies,kp,multiplier,"
                                       "multiplier6\r\n  X1 , 1e-5 ,4e-05, 4e-05\r\n# end\n",
                                       "t.csv", rows),
            "");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].name, "X1");
  EXPECT_EQ(rows[0].line, 4);
  ASSERT_EQ(config::parse_species_file(kHeader + "I2,2e-05,1e-05,1e-05,ideal\nS,1,2,3,\n", "t.csv",
                                       rows),
            "");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0].ideal);
  EXPECT_FALSE(rows[1].ideal);
}

struct BadFile {
  std::string text;
  std::string refusal;
};

TEST(SpeciesFile, BadRowsAreRefusedWithFileLineAndReason) {
  const BadFile cases[] = {
      {"",
       "t.csv: no header; a species table starts with species,kp,multiplier,multiplier6,layout"},
      {"name,kp\nA,1,2,3\n",
       "t.csv line 1: expected the header species,kp,multiplier,multiplier6,layout "
       "(--list-species prints the built-in table in this form), found 'name,kp'"},
      {kHeader + "A,1e-5,4e-05\n",
       "t.csv line 2: expected 4 or 5 fields (species,kp,multiplier,multiplier6,layout), found 3"},
      {kHeader + "A,1e-5,4e-05,4e-05,standard,x\n",
       "t.csv line 2: expected 4 or 5 fields (species,kp,multiplier,multiplier6,layout), found 6"},
      {kHeader + "A,,4e-05,4e-05\n", "t.csv line 2: kp is empty"},
      {kHeader + "A,1e-5,4x-05,4e-05\n", "t.csv line 2: multiplier '4x-05' is not a number"},
      {kHeader + "A,1e-5,4e-05,-4e-05\n", "t.csv line 2: multiplier6 '-4e-05' is negative"},
      {kHeader + "A,-0,4e-05,4e-05\n", "t.csv line 2: kp '-0' is negative"},
      {kHeader + "A,inf,4e-05,4e-05\n", "t.csv line 2: kp 'inf' is not a number"},
      {kHeader + "A,nan,4e-05,4e-05\n", "t.csv line 2: kp 'nan' is not a number"},
      {kHeader + "A,+1,4e-05,4e-05\n", "t.csv line 2: kp '+1' is not a number"},
      {kHeader + "A,1e39,4e-05,4e-05\n", "t.csv line 2: kp '1e39' is beyond single precision"},
      {kHeader + "A,1e-5,4e-05,4e-05,Ideal\n",
       "t.csv line 2: the layout 'Ideal' is neither standard nor ideal"},
      {kHeader + "ABCDEFGHIJK,1,1,1\n",
       "t.csv line 2: the species 'ABCDEFGHIJK' is longer than 10 characters"},
      {kHeader + "A B,1,1,1\n", "t.csv line 2: the species 'A B' contains a blank"},
      {kHeader + ",1,1,1\n", "t.csv line 2: the species '' is empty"},
      {kHeader + "\xff\xfe" "A,1,1,1\n",
       "t.csv line 2: the species '\\xff\\xfeA' is not valid UTF-8"},
      {kHeader + "A\xC2\x85,1,1,1\n",
       "t.csv line 2: the species 'A\\xc2\\x85' contains a control character"},
      {kHeader + "\xE2\x81\xA6" "A,1,1,1\n",
       "t.csv line 2: the species '\\xe2\\x81\\xa6A' contains a bidirectional formatting "
       "character"},
      {kHeader + "A,1,1,1\n# again\nA,2,2,2\n",
       "t.csv line 4: the species 'A' has a row already, on line 2"},
  };
  for (const BadFile& c : cases) {
    std::vector<config::SpeciesFileRow> rows;
    EXPECT_EQ(config::parse_species_file(c.text, "t.csv", rows), c.refusal) << c.text;
  }
}

TEST(SpeciesFile, ConstantsBelowSinglePrecisionsNormalRangeAreRefusedInEveryColumn) {
  // A run takes a subnormal constant for 0 (denormals-are-zero), the batch's
  // check of its results for the number written: they cannot agree.
  const std::string below = " is below single precision's normal range (nonzero and under "
                            "1.1754944e-38)";
  const BadFile cases[] = {
      {kHeader + "A,1e-39,4e-05,4e-05\n", "t.csv line 2: kp '1e-39'" + below},
      {kHeader + "A,5e-39,4e-05,4e-05\n", "t.csv line 2: kp '5e-39'" + below},
      {kHeader + "A,1e-45,4e-05,4e-05\n", "t.csv line 2: kp '1e-45'" + below},
      // Too small even for a subnormal.
      {kHeader + "A,1e-46,4e-05,4e-05\n", "t.csv line 2: kp '1e-46'" + below},
      // The largest subnormal.
      {kHeader + "A,1e-5,1.1754942e-38,4e-05\n",
       "t.csv line 2: multiplier '1.1754942e-38'" + below},
      {kHeader + "A,1e-5,4e-05,4e-05\nB,1e-5,4e-05,2e-40,ideal\n",
       "t.csv line 3: multiplier6 '2e-40'" + below},
  };
  for (const BadFile& c : cases) {
    std::vector<config::SpeciesFileRow> rows;
    EXPECT_EQ(config::parse_species_file(c.text, "t.csv", rows), c.refusal) << c.text;
  }
  // The smallest normal number and zero are constants like any other.
  std::vector<config::SpeciesFileRow> rows;
  ASSERT_EQ(config::parse_species_file(kHeader + "A,1.1754944e-38,0,2e-38\n", "t.csv", rows), "");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].kp, std::numeric_limits<float>::min());
  EXPECT_EQ(rows[0].multiplier, 0.0f);
  EXPECT_EQ(rows[0].multiplier6, 2e-38f);
}

}  // namespace
