// What a configuration means: the species table's matching, the layouts and
// the paths of input and results files, for any species, scenario and tag.
#include "config/config.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>

namespace {

TEST(Config, SpeciesMatchIgnoresTrailingBlanksButNotCase) {
  ASSERT_NE(config::find_species("OLE2_OH   "), nullptr);
  EXPECT_EQ(config::find_species("OLE2_OH   ")->key, "OLE2_OH");
  EXPECT_EQ(config::find_species("C12"), nullptr);
  EXPECT_EQ(config::find_species(" OLE2_OH"), nullptr);
  EXPECT_EQ(config::find_species(""), nullptr);
  EXPECT_EQ(config::species_table().size(), 14u);
}

TEST(Config, AnUnknownSpeciesGetsTheOtherRowsConstants) {
  const config::RateConstants known = config::rate_constants("OLE1_OH", "allgas");
  const config::RateConstants unknown = config::rate_constants("NOPE", "allgas");
  EXPECT_EQ(std::bit_cast<std::uint64_t>(unknown.kp),
            std::bit_cast<std::uint64_t>(static_cast<double>(config::other_species().kp)));
  for (int j = 0; j < config::kBins; ++j) EXPECT_EQ(unknown.k[j], known.k[j]) << j;
}

TEST(Config, TagRulesIgnoreTrailingBlanks) {
  const config::RateConstants rates = config::rate_constants("OLE2_OH", "no6   ");
  EXPECT_EQ(rates.k[5], 0.0);
  EXPECT_NE(rates.k[4], 0.0);
}

struct PathCase {
  const char* species;
  const char* scenario;
  const char* tag;
  config::Layout layout;
  const char* precursor;
  const char* bins;
  const char* molar_masses;
  const char* results;
};

TEST(Config, PathsOfBothLayouts) {
  const PathCase cases[] = {
      {"OLE2_OH", "0.1", "allgas", config::Layout::standard,
       "../INPUTS_ODE/5days/0.1_aer.OLE2_OH/aer.precursor",
       "../INPUTS_ODE/5days/0.1_aer.OLE2_OH/aer.cdis_all.6",
       "../INPUTS_ODE/5days/0.1_aer.OLE2_OH/aer.wmol_vbs.6", "FITS/fit6_coef.OLE2_OH.0.1.allgas"},
      {"ideal     ", "0.1", "no6", config::Layout::ideal, "aer.precursor.ideal", "aer.ideal",
       "../INPUTS_ODE/5days/0.1_aer.ideal/aer.wmol_vbs.6", "FITS/fit6_coef.ideal.0.1.no6"},
      {"ABCDEFGHIJ", "NOX_LABEL_20_CHARS__", "t", config::Layout::standard,
       "../INPUTS_ODE/5days/NOX_LABEL_20_CHARS___aer.ABCDEFGHIJ/aer.precursor",
       "../INPUTS_ODE/5days/NOX_LABEL_20_CHARS___aer.ABCDEFGHIJ/aer.cdis_all.6",
       "../INPUTS_ODE/5days/NOX_LABEL_20_CHARS___aer.ABCDEFGHIJ/aer.wmol_vbs.6",
       "FITS/fit6_coef.ABCDEFGHIJ.NOX_LABEL_20_CHARS__.t"},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.species);
    EXPECT_EQ(config::layout_of(c.species), c.layout);
    const config::InputPaths read = config::input_paths(c.species, c.scenario);
    EXPECT_EQ(read.precursor, c.precursor);
    EXPECT_EQ(read.bins, c.bins);
    EXPECT_EQ(read.molar_masses, c.molar_masses);
    EXPECT_EQ(config::results_path(c.species, c.scenario, c.tag), c.results);
  }
  // The longest names give input paths of exactly the path length.
  EXPECT_EQ(config::standard_input_paths("ABCDEFGHIJ", "NOX_LABEL_20_CHARS__").molar_masses.size(),
            static_cast<std::size_t>(config::kPathLength));
}

// Names go into paths and name directories of vbsfit-batch's report.
TEST(Config, NameFaults) {
  const struct {
    const char* name;
    const char* fault;
  } cases[] = {
      {"OLE2_OH", ""},
      {"ABCDEFGHIJ", ""},  // exactly the limit
      {"<i>&x", ""},       // what HTML must escape is still a name
      {"a.b", ""},
      {"", "is empty"},
      {"ABCDEFGHIJK", "is longer than 10 characters"},
      {"a b", "contains a blank"},
      {"a/b", "contains '/'"},
      {"a\tb", "contains a control character"},
      {"a\x7f", "contains a control character"},
      {".", "cannot name a directory"},
      {"..", "cannot name a directory"},
      {"#x", ""},  // a scenario or tag is never at the start of a line
      // C1 controls and the bidirectional formatting characters, which
      // would reorder a line that shows the name.
      {"a\xC2\x85", "contains a control character"},                // U+0085
      {"a\xC2\x9B" "b", "contains a control character"},            // U+009B
      {"a\xE2\x80\xAE" "b", "contains a bidirectional formatting character"},  // U+202E
      {"\xE2\x81\xA6" "ab", "contains a bidirectional formatting character"},  // U+2066
      {"a\xE2\x80\x8E", "contains a bidirectional formatting character"},      // U+200E
      {"a\xD8\x9C", "contains a bidirectional formatting character"},          // U+061C
      {"a\xC2\xA0", ""},          // U+00A0, past the C1 range
      {"a\xE2\x80\xAF", ""},     // U+202F, past the overrides
  };
  for (const auto& c : cases) EXPECT_EQ(config::name_fault(c.name, 10), c.fault) << c.name;
  EXPECT_EQ(config::species_fault("#TOL"),
            "begins with '#', which starts a comment in a plan or a species table");
  EXPECT_EQ(config::species_fault("TOL#"), "");
  EXPECT_EQ(config::species_fault("ABCDEFGHIJK"), "is longer than 10 characters");
}

// What a message quotes of a file's bytes prints as text, whatever they are.
TEST(Config, PrintableTextEscapesWhatWouldNotPrint) {
  const struct {
    std::string_view text;
    const char* shown;
  } cases[] = {
      {"models", "models"},
      {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC"},  // kept
      {"m\xff\x9b", "m\\xff\\x9b"},             // malformed: each byte
      {"\xE2\x82", "\\xe2\\x82"},               // cut short
      {"a\tb\x7f", "a\\x09b\\x7f"},             // C0 and DEL
      {"a\xC2\x85" "b", "a\\u0085b"},             // C1
      {"x\xE2\x80\xAEy", "x\\u202ey"},           // right-to-left override
      {std::string_view("n\0ul", 4), "n\\x00ul"},
  };
  for (const auto& c : cases) EXPECT_EQ(config::printable(c.text), c.shown) << c.text;
}

}  // namespace

namespace {

TEST(ConfigNames, NearNamesTakeCaseFirstThenSmallEdits) {
  std::vector<std::string_view> table;
  for (const config::SpeciesRow& row : config::species_table()) table.push_back(row.key);
  const struct {
    const char* name;
    std::vector<std::string_view> near;
  } cases[] = {
      {"tol", {"TOL"}},
      {"C12", {"c12"}},  // equal but for case: no others
      {"C13", {"c12", "C16", "c18"}},  // one edit each, in table order
      {"OLE2OH", {"OLE2_OH", "OLE1_OH"}},
      {"API-OH", {"API_OH"}},
      {"APIOH", {"API_OH"}},
      {"ISO_HO", {"ISO_OH"}},  // neighbours swapped: one edit
      {"IDEAL", {"ideal"}},
      {"BENZENE", {}},
      {"tl", {"TOL"}},
      {"x", {}},
      {"OLE2_OH", {"OLE1_OH"}},  // itself is no suggestion
      // Up to 4 characters one edit is allowed, from 5 on two.
      {"TOLU", {"TOL"}},
      {"C16X", {"C16"}},      // c12 and c18 are two edits away
      {"ISOH", {}},           // ISO_OH is two edits away
      {"ISxOH", {"ISO_OH"}},  // two edits
      {"ISOHX", {}},          // three
  };
  for (const auto& c : cases) EXPECT_EQ(config::near_names(c.name, table), c.near) << c.name;
}

TEST(ConfigNames, TagsThatDifferFromARuleOnlyByCaseOrSeparatorsMeanTheRule) {
  const struct {
    const char* tag;
    std::string_view meant;
  } cases[] = {
      {"No6", "no6"},      {"no-6", "no6"},     {"NO_56", "no56"}, {"Static", "static"},
      {"s-t-a-t-i-c", "static"}, {"no6  ", ""},  {"no6", ""},     {"static", ""},
      {"allgas", ""},      {"no7", ""},         {"nosix", ""},     {"-", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(config::tag_meant(c.tag), c.meant) << c.tag;
}

TEST(ConfigNames, TagsNearATagNameAreWarnedOfAndMisspeltRulesRefused) {
  const struct {
    const char* tag;
    std::string warning;
    std::string refusal;
  } cases[] = {
      {"alllgas", "the tag 'alllgas' is none of allgas, static, no56 and no6: it runs every "
                  "reaction, as a label of its own; did you mean allgas?", ""},
      {"no66", "the tag 'no66' is none of allgas, static, no56 and no6: it runs every "
               "reaction, as a label of its own; did you mean no56 or no6?", ""},
      {"allgas", "", ""}, {"no6", "", ""}, {"no6  ", "", ""}, {"winter", "", ""},
      {"No6", "",
       "the tag 'No6' is not the tag rule no6; did you mean no6? (tags are case-sensitive; "
       "only static, no56 and no6 change the rate constants)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(config::tag_warning(c.tag), c.warning) << c.tag;
    EXPECT_EQ(config::tag_refusal(c.tag), c.refusal) << c.tag;
  }
}

TEST(ConfigNames, UnknownSpeciesSuggestsFromTheFileRowsAndTheBuiltInTable) {
  const std::string_view file[] = {"LIMONENE"};
  const struct {
    const char* species;
    std::string message;
  } cases[] = {
      {"api_oh", "the species 'api_oh' is in no species table; did you mean API_OH?"},
      {"LIMONEN", "the species 'LIMONEN' is in no species table; did you mean LIMONENE?"},
      {"BENZENE", "the species 'BENZENE' is in no species table"},
      {"a\x01", "the species 'a\\x01' is in no species table"},
  };
  for (const auto& c : cases) EXPECT_EQ(config::unknown_species(c.species, file), c.message);
}

TEST(ConfigNames, NamesMustBeUtf8) {
  const struct {
    std::string_view text;
    bool valid;
  } cases[] = {
      {"OLE2_OH", true},          {"\xC3\xA9t\xC3\xA9", true},     {"\xE2\x82\xAC", true},
      {"\xF0\x9F\x98\x80", true}, {"\xff\xfe" "A", false},         {"\xC3", false},
      {"\xC0\xAF", false},        {"\xED\xA0\x80", false},         {"\xF4\x90\x80\x80", false},
      {"\xE2\x82", false},        {"\x80", false},
  };
  for (const auto& c : cases) EXPECT_EQ(config::valid_utf8(c.text), c.valid) << c.text;
  EXPECT_EQ(config::name_fault("\xff\xfe" "A", 10), "is not valid UTF-8");
  EXPECT_EQ(config::name_fault("\xC3\xA9t\xC3\xA9", 10), "");
}

TEST(ConfigNames, AGivenRowDecidesConstantsAndLayout) {
  const config::SpeciesRow mine = {"", 1e-05f, 2e-05f, 3e-05f, true};
  EXPECT_EQ(&config::species_row("OLE2_OH", &mine), &mine);
  EXPECT_EQ(&config::species_row("NOPE"), &config::other_species());
  const config::RateConstants rates = config::rate_constants(mine, "allgas");
  EXPECT_EQ(rates.kp, static_cast<double>(1e-05f));
  EXPECT_EQ(rates.k[5], config::rate_factors()[5] * static_cast<double>(3e-05f));
  EXPECT_EQ(config::input_paths("OLE2_OH", "0.1", mine).bins, config::kIdealBinsFile);
}

}  // namespace
