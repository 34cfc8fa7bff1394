// A batch's command line as JSON text (study::json_arguments).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "study/study.hpp"

namespace {

TEST(StudyArguments, JsonArrayKeepsEveryArgumentExactly) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {""},
      {"vbsfit-batch", "--report", "my report"},
      {"quote \" backslash \\ slash /", "\n\r\t\b\f\x01\x1f\x7f"},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},           // é € 😀: kept as UTF-8
      {"\xff", "\xc3", "\xed\xa0\x80", "a\x80z", "\xf4\x90\x80\x80"},  // not UTF-8
  };
  for (const auto& arguments : cases) {
    const std::string json = study::json_arguments(arguments);
    std::vector<std::string> back = {"left over"};
    ASSERT_TRUE(study::parse_json_arguments(json, back)) << json;
    EXPECT_EQ(back, arguments) << json;
  }
  EXPECT_EQ(study::json_arguments({"a b", "\xff"}), "[\"a b\",\"\\udcff\"]");
  // What Python's json module writes reads back too.
  std::vector<std::string> read;
  ASSERT_TRUE(study::parse_json_arguments("[ \"\\u00e9\", \"\\ud83d\\ude00\" ]", read));
  EXPECT_EQ(read, (std::vector<std::string>{"\xc3\xa9", "\xf0\x9f\x98\x80"}));
  for (const char* bad : {"", "[", "[\"a\"", "[\"a\",]", "[1]", "[\"a\"] x", "[\"\\x\"]",
                          "[\"\\ud800\"]", "{\"a\"}"}) {
    EXPECT_FALSE(study::parse_json_arguments(bad, read)) << bad;
  }
}

}  // namespace
