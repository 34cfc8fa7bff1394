// The command line of vbsfit-batch: what is accepted, and the usage errors.
#include "batch/options.hpp"

#include <gtest/gtest.h>

#include "run_program.hpp"

namespace {

TEST(BatchOptions, ValuesAsNextArgumentOrAfterEquals) {
  batch::Options o;
  ASSERT_EQ(batch::parse_options({"--species", "TOL,API_OH", "--scenario=0.5", "--tag", "no6",
                                  "-j3", "--workdir=run", "--report", "r", "--shard", "2/4"},
                                 o),
            "");
  EXPECT_EQ(o.species, "TOL,API_OH");
  EXPECT_EQ(o.scenarios, "0.5");
  EXPECT_EQ(o.tags, "no6");
  EXPECT_EQ(o.jobs, 3);
  EXPECT_EQ(o.workdir, "run");
  EXPECT_EQ(o.report, "r");
  ASSERT_TRUE(o.shard.has_value());
  EXPECT_EQ(o.shard->index, 2);
  EXPECT_EQ(o.shard->count, 4);
  EXPECT_FALSE(o.se_limit.has_value());
  EXPECT_TRUE(o.pages);
  batch::Options limit;
  ASSERT_EQ(batch::parse_options({"--se-limit", "0.05", "--no-pages", "--misfit-limit=0.5"}, limit),
            "");
  EXPECT_EQ(limit.se_limit, 0.05);
  EXPECT_EQ(limit.misfit_limit, 0.5);
  EXPECT_FALSE(limit.pages);

  batch::Options merge;
  ASSERT_EQ(batch::parse_options({"--merge", "a", "--report", "out", "b", "--", "-c"}, merge), "");
  EXPECT_TRUE(merge.merge);
  EXPECT_EQ(merge.operands, (std::vector<std::string>{"a", "b", "-c"}));

  batch::Options plan;
  ASSERT_EQ(batch::parse_options({"--plan", "-", "-j", "1"}, plan), "");
  EXPECT_EQ(plan.plan, "-");
}

TEST(BatchOptions, UsageErrors) {
  const struct {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"-x"}, "unknown option '-x'"},
      {{"--species"}, "option '--species' needs a value"},
      {{"-j", "0"}, "--jobs needs a whole number of at least 1, not '0'"},
      {{"-jfour"}, "--jobs needs a whole number of at least 1, not 'four'"},
      {{"--shard", "3/2"}, "--shard needs K/N with 1 <= K <= N (share K of N), not '3/2'"},
      {{"--list-species=yes"}, "option '--list-species' takes no value"},
      {{"--workdir="}, "--workdir needs a directory"},
      {{"--species-table="}, "--species-table needs a file name"},
      {{"--dry-run=1"}, "option '--dry-run' takes no value"},
      {{"extra"}, "unexpected argument 'extra'"},
      {{"--plan", "p", "--tag", "no6"},
       "--plan cannot be combined with --species, --scenario or --tag"},
      {{"--merge"}, "--merge needs the report directories of the shards"},
      {{"--refit=some"}, "--refit takes stale (the default) or all, not 'some'"},
      {{"--forget", "--refit=all"}, "--forget cannot be combined with --refit or --dry-run"},
      {{"--forget", "--refit"}, "--forget cannot be combined with --refit or --dry-run"},
      {{"--dry-run", "--forget"}, "--forget cannot be combined with --refit or --dry-run"},
      {{"--se-limit", "0"}, "--se-limit needs a positive number, not '0'"},
      {{"--se-limit=-1"}, "--se-limit needs a positive number, not '-1'"},
      {{"--se-limit", "inf"}, "--se-limit needs a positive number, not 'inf'"},
      {{"--se-limit", "0.1x"}, "--se-limit needs a positive number, not '0.1x'"},
      {{"--misfit-limit", "0"}, "--misfit-limit needs a positive number, not '0'"},
      {{"--misfit-limit=-0.2"}, "--misfit-limit needs a positive number, not '-0.2'"},
      {{"--misfit-limit", "nan"}, "--misfit-limit needs a positive number, not 'nan'"},
      {{"--allow-mixed-constants"}, "--allow-mixed-constants goes only with --merge"},
  };
  for (const auto& c : cases) {
    batch::Options o;
    EXPECT_EQ(batch::parse_options(c.args, o), c.error) << c.args.front();
  }
}

// A merge reads the shares' records: every option that would choose,
// run, flag or forget configurations is refused beside it, whatever its
// place on the line.
TEST(BatchOptions, MergeRefusesEveryOptionOfARun) {
  const std::string kMergeTakes =
      "--merge takes only --report, --workdir, --no-pages, --allow-mixed-constants and the "
      "report directories to join";
  const std::vector<std::vector<std::string>> refused = {
      {"--species", "TOL"},         {"--scenario", "0.5"},      {"--tag", "no6"},
      {"--plan", "study.plan"},     {"--shard", "1/2"},         {"-j", "2"},
      {"--jobs=2"},                 {"--se-limit", "1"},        {"--misfit-limit", "0.5"},
      {"--species-table", "t.csv"}, {"--allow-unknown-species"}, {"--dry-run"},
      {"--forget"},                 {"--refit"},                {"--refit=all"},
  };
  for (const std::vector<std::string>& option : refused) {
    std::vector<std::string> after = {"--merge", "a"}, before = option;
    after.insert(after.end(), option.begin(), option.end());
    before.insert(before.end(), {"--merge", "a"});
    for (const auto& args : {after, before}) {
      batch::Options o;
      EXPECT_EQ(batch::parse_options(args, o), kMergeTakes) << args[0] << " " << args[2];
    }
  }
  batch::Options o;
  EXPECT_EQ(batch::parse_options({"--merge", "--report", "r", "--workdir", "w", "--no-pages",
                                  "--allow-mixed-constants", "a", "b"},
                                 o),
            "");
  EXPECT_TRUE(o.allow_mixed_constants);
  EXPECT_FALSE(o.pages);
}

TEST(BatchOptions, HelpNamesEveryOptionAndTheBuildDefaults) {
  const std::string help = batch::help_text({"OLE2_OH", "0.1", "allgas", "9.9", ""}, 7);
  for (const char* option : {"--species", "--scenario", "--tag", "--plan", "--workdir", "--report",
                             "-j, --jobs", "--shard", "--se-limit", "--misfit-limit", "models.csv",
                             "--merge", "--list-species", "--help", "--version", "--refit[=all]",
                             "--forget", "study.sqlite", "(default OLE2_OH)", "(default 0.1)",
                             "(default allgas)",
                             "(default 7,", "Examples:", "runs.csv", "coefficients.csv",
                             "fits.csv", "index.html", "undetermined", "--species-table",
                             "--allow-unknown-species", "--dry-run", "species_source",
                             "input_records", "species.csv", "--allow-mixed-constants", "--input-format",
                             "--inputs", "--netcdf-variables"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
  for (const std::string& line : [&] {
         std::vector<std::string> lines;
         std::size_t at = 0;
         for (std::size_t end; (end = help.find('\n', at)) != std::string::npos; at = end + 1) {
           lines.push_back(help.substr(at, end - at));
         }
         return lines;
       }()) {
    EXPECT_LE(line.size(), 80u) << line;
  }
}

TEST(BatchOptions, AnUnknownOptionWithAValueIsUnknown) {
  batch::Options o;
  EXPECT_EQ(batch::parse_options({"--frobnicate=1"}, o), "unknown option '--frobnicate'");
}

// The whole text, byte for byte: the help is made from the option table, and
// a change to the table's layout must not move a character of it.
TEST(BatchOptions, HelpIsTheGoldenText) {
  EXPECT_EQ(batch::help_text({"OLE2_OH", "0.1", "allgas", "9.9", ""}, 7),
            testsupport::read_file(testsupport::test_data("help/vbsfit-batch.txt")));
}

}  // namespace
