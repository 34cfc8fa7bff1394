// The option machinery both programs read their command lines with: the
// forms of an option and its value, the usage errors, and the help's layout.
#include "batch/option_table.hpp"

#include <gtest/gtest.h>

namespace {

struct Toy {
  std::string name;
  bool flag = false;
  std::optional<std::string> level;  // --level alone: "" (given, no value)
};

using Value = std::optional<std::string>;
using OptionRow = batch::Option<Toy>;

constexpr OptionRow kToy[] = {
    batch::help_row<Toy>("Options:"),
    {"name", 'n', batch::OptionValue::required, "NAME",
     [](Toy& t, const Value& v) {
       if (v->empty()) return std::string("--name must not be empty");
       t.name = *v;
       return std::string();
     },
     "what to call it;\nthe second line"},
    {"flag", 'f', batch::OptionValue::none, "",
     [](Toy& t, const Value&) { t.flag = true; return std::string(); }, "a flag"},
    {"level", '\0', batch::OptionValue::optional, "[=N]",
     [](Toy& t, const Value& v) { t.level = v.value_or(""); return std::string(); },
     "\nbelow its name"},
    batch::help_row<Toy>(""),
    {"a-rather-long-name", '\0', batch::OptionValue::none, "",
     [](Toy&, const Value&) { return std::string(); }, "beside it"},
};

TEST(OptionTable, FormsOfAnOptionAndItsValue) {
  const struct {
    std::vector<std::string> args;
    std::string name;
    bool flag;
    Value level;
    std::vector<std::string> operands;
  } cases[] = {
      {{"--name", "x"}, "x", false, {}, {}},
      {{"--name=x"}, "x", false, {}, {}},
      {{"--name=-f"}, "-f", false, {}, {}},
      {{"--name", "--flag"}, "--flag", false, {}, {}},  // a required value is taken as it is
      {{"-n", "x"}, "x", false, {}, {}},
      {{"-nx"}, "x", false, {}, {}},
      {{"-f", "--flag"}, "", true, {}, {}},
      {{"--level"}, "", false, "", {}},
      {{"--level=2"}, "", false, "2", {}},
      {{"--level", "2"}, "", false, "", {"2"}},  // an optional value only after '='
      {{"a", "-", "--", "--flag", "-n"}, "", false, {}, {"a", "-", "--flag", "-n"}},
  };
  for (const auto& c : cases) {
    Toy toy;
    const batch::ParsedLine line = batch::parse_command_line<Toy>(kToy, c.args, toy, true);
    EXPECT_EQ(line.error, "") << c.args.front();
    EXPECT_EQ(toy.name, c.name) << c.args.front();
    EXPECT_EQ(toy.flag, c.flag) << c.args.front();
    EXPECT_EQ(toy.level, c.level) << c.args.front();
    EXPECT_EQ(line.operands, c.operands) << c.args.front();
  }
}

TEST(OptionTable, TheFirstUsageErrorStopsTheReading) {
  const struct {
    std::vector<std::string> args;
    bool operands_allowed;
    const char* error;
  } cases[] = {
      {{"--colour"}, true, "unknown option '--colour'"},
      {{"--colour=red"}, true, "unknown option '--colour'"},
      {{"-x"}, true, "unknown option '-x'"},
      {{"-fx"}, true, "unknown option '-fx'"},  // a flag's short name stands alone
      {{"--flag=1"}, true, "option '--flag' takes no value"},
      {{"--name"}, true, "option '--name' needs a value"},
      {{"-n"}, true, "option '--name' needs a value"},
      {{"--="}, true, "unknown option '--'"},  // help rows are no options
      {{"--name="}, true, "--name must not be empty"},
      {{"--name=", "--colour"}, true, "--name must not be empty"},
      {{"--flag", "x", "--colour"}, false, "unexpected argument 'x'"},
      {{"-", "--colour"}, false, "unexpected argument '-'"},
  };
  for (const auto& c : cases) {
    Toy toy;
    EXPECT_EQ(batch::parse_command_line<Toy>(kToy, c.args, toy, c.operands_allowed).error,
              c.error)
        << c.args.front();
  }
}

TEST(OptionTable, GivenListsTheRowsOfTheOptionsInOrder) {
  Toy toy;
  const batch::ParsedLine line =
      batch::parse_command_line<Toy>(kToy, {"--level", "-f", "op", "-nx"}, toy, true);
  EXPECT_EQ(line.given, (std::vector<std::size_t>{3, 2, 1}));
}

TEST(OptionTable, HelpPutsTheLabelsInAColumnOfTheirOwn) {
  EXPECT_EQ(batch::options_help<Toy>(kToy, 20),
            "Options:\n"
            "  -n, --name NAME   what to call it;\n"
            "                    the second line\n"
            "  -f, --flag        a flag\n"
            "  --level[=N]\n"
            "                    below its name\n"
            "\n"
            "  --a-rather-long-name  beside it\n");
}

}  // namespace
