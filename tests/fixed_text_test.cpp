#include "textio/fixed_text.hpp"

#include <gtest/gtest.h>

namespace {

TEST(FixedText, AssignmentPadsWithBlanksOrCutsAtTheLength) {
  textio::FixedText<10> species("ideal");
  EXPECT_EQ(species.view(), "ideal     ");
  EXPECT_EQ(species.trimmed(), "ideal");
  species = "ABCDEFGHIJKLMN";
  EXPECT_EQ(species.view(), "ABCDEFGHIJ");
  species = "";
  EXPECT_EQ(species.view(), "          ");
  EXPECT_EQ(species.trimmed(), "");
}

TEST(FixedText, ComparisonPadsTheShorterSideAndHonoursCase) {
  textio::FixedText<10> species("ideal");
  EXPECT_TRUE(species == "ideal");
  EXPECT_TRUE(species == "ideal          ");
  EXPECT_FALSE(species == "Ideal");
  EXPECT_FALSE(species == "idea");
  EXPECT_FALSE(species == "ideal x");
  textio::FixedText<10> c12("c12");
  EXPECT_FALSE(c12 == "C12");
}

TEST(FixedText, TrimmedKeepsLeadingAndInnerBlanks) {
  textio::FixedText<20> tag(" a b ");
  EXPECT_EQ(tag.trimmed(), " a b");
}

}  // namespace
