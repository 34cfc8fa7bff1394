// What a configuration of a run means: the extents every run shares, the
// species table and the tag rules that give the rate constants, the paths of
// the input files in both layouts, and the name and header texts of the
// results file. Pure functions and constants: a program that fits many
// configurations asks the same questions for each one.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace config {

// Extents of every run.
inline constexpr int kRecords = 1441;            // records read from each input file
inline constexpr int kIntervals = kRecords - 1;  // rates of change, rows of the design matrix
inline constexpr int kBins = 6;                  // volatility bins, VB1 ... VB6
inline constexpr int kCoefficients = kBins + 1;  // the precursor (VOC), then one per bin

// Lengths of the run's fixed-length names. A longer value would be cut, and
// the paths built from it would no longer name the files meant.
inline constexpr int kSpeciesLength = 10;
inline constexpr int kScenarioLength = 20;
inline constexpr int kTagLength = 20;
// Why `name` cannot serve as a species, scenario label or tag of at most
// `limit` characters, as the end of a sentence about it ("contains a
// blank"), or empty when it can. Names go into the input and results paths
// and name directories, so a name holds 1 to `limit` bytes of UTF-8 and no
// blank, '/', control character (C0, DEL or C1) or bidirectional formatting
// character (which would reorder the text around it wherever the name is
// shown), and is not "." or "..".
std::string name_fault(std::string_view name, std::size_t limit);
// The same for a species name, which also may not begin with '#': the
// species is the first field of a plan line and of a species table row, and
// a line beginning with '#' is a comment, so such a species could not be
// written into either and read back.
std::string species_fault(std::string_view name);
// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points beyond U+10FFFF).
bool valid_utf8(std::string_view text);
// Whether `code` is a control character (U+0000...U+001F, U+007F,
// U+0080...U+009F) or a bidirectional formatting character (U+061C,
// U+200E, U+200F, U+202A...U+202E, U+2066...U+2069).
bool unprintable(char32_t code);
// `text` as a message may quote it, whatever bytes it holds (a file's, a
// database's): well-formed UTF-8 kept, except the unprintable() code points
// (written \xNN below U+0080 and \uNNNN above) and every byte of a
// malformed sequence (written \xNN).
std::string printable(std::string_view text);
// The names among `candidates` that `name` may have been meant as: those
// equal to it but for case when there are any, else those within a small
// edit distance of it (one edit for names of up to four characters, two
// for longer), closest first, at most three. Empty when none is near.
std::vector<std::string_view> near_names(std::string_view name,
                                         std::span<const std::string_view> candidates);

// How lists of names are written on a command line, in a plan and in a
// species table: items separated by commas, blanks and tabs around an item
// not counting. `trim_blanks` drops those around `text`; `split_list` gives
// the items (one empty item for empty text).
std::string_view trim_blanks(std::string_view text);
std::vector<std::string_view> split_list(std::string_view text);
// The lines of a plan or a species table file, one at a time from the front
// of `text`: a leading byte-order mark skipped (at line 0), "\r\n" taken as
// a line end, blanks and tabs around a line dropped, blank lines and lines
// whose first character is '#' passed over. Returns false at the end of the
// text; `number` counts the lines taken (from 1).
bool next_line(std::string_view& text, std::string_view& line, int& number);

// The longest input path (20 characters of scenario, 10 of species) is
// exactly this long, so no path is ever cut.
inline constexpr int kPathLength = 70;

// Coefficient bounds of one solve. Every coefficient lies in [0, 10000]
// except the target bin's own, which is fitted in [-1, 0] and reported
// shifted into [0, 1].
inline constexpr double kLowerBound = 0.0;
inline constexpr double kUpperBound = 10000.0;
inline constexpr double kSelfLowerBound = -1.0;
inline constexpr double kSelfUpperBound = 0.0;
inline constexpr double kSelfShift = 1.0;
// The target bin's own coefficient (or one of its bounds) as reported: one
// addition of kSelfShift, the run's own operation, so that every program that
// shows it shows the same double.
inline double shift_own(double fitted) { return fitted + kSelfShift; }

// Saturation concentration of each bin. The last two are the
// single-precision numbers 0.1 and 0.001 widened to double, which is what
// the rate constants of stored results were computed from.
inline constexpr std::array<double, kBins> kSaturationConcentrations = {
    10000.0, 100.0, 10.0, 1.0, static_cast<double>(0.1f), static_cast<double>(0.001f)};

// The scale of bin j's rate constant: CSTR / (CSTR + 10), one rounding each.
std::array<double, kBins> rate_factors();

// One row of the species table. The constants are single-precision numbers
// that are widened to double where they are used.
struct SpeciesRow {
  std::string_view key;
  float kp;           // the precursor's rate constant, per second
  float multiplier;   // K(j) = factor(j) x multiplier for bins 1 ... 5
  float multiplier6;  // and this for bin 6
  bool ideal;         // the ideal input layout
};

// The rows in the order they are matched.
std::span<const SpeciesRow> species_table();
// The constants of a species that matches no row.
const SpeciesRow& other_species();
// The first row whose key equals `species`, trailing blanks aside and case
// mattering; nullptr when none does.
const SpeciesRow* find_species(std::string_view species);
// The row a run of `species` takes: `given` when a caller hands in a row of
// its own (a species table file), else the table's row, else other_species().
const SpeciesRow& species_row(std::string_view species, const SpeciesRow* given = nullptr);

// KP and K(1 ... 6) of a species (its row, or the other row) under a tag:
// "static" zeroes every K, "no56" K(5) and K(6), "no6" K(6); trailing blanks
// of the tag do not count.
struct RateConstants {
  double kp = 0.0;
  std::array<double, kBins> k{};
};
RateConstants rate_constants(std::string_view species, std::string_view tag);
// The same from a row itself.
RateConstants rate_constants(const SpeciesRow& row, std::string_view tag);
// KP, K(1) ... K(6): the rate constant of each column of the fit's matrix.
inline std::array<double, kCoefficients> rate_row(const RateConstants& rates) {
  std::array<double, kCoefficients> row{rates.kp};
  for (int j = 0; j < kBins; ++j) row[j + 1] = rates.k[j];
  return row;
}

// The tag rule that `tag` looks like a misspelling of: "static", "no56" or
// "no6" when `tag` differs from one only by case, '-' or '_' (and is not
// that key itself); empty otherwise.
std::string_view tag_meant(std::string_view tag);

// The tag names a run knows: "allgas" runs every reaction (as does any
// other label), and the three tag rules change the rate constants.
inline constexpr std::array<std::string_view, 4> kTagNames = {"allgas", "static", "no56",
                                                              "no6"};

// What a run refuses or warns of in its names, in the words every program
// around vbsfit uses (vbsfit-batch, vbsgen, the Python module); each caller
// adds how to go on in its own terms. A name in these messages is quoted
// ('...') and shown printable.
//
// "; did you mean A, B or C?" for the names near_names() finds among
// `candidates`, or empty when none is near.
std::string did_you_mean(std::string_view name, std::span<const std::string_view> candidates);
// The refusal of a tag that tag_meant() takes for a misspelt tag rule
// ("the tag 'No6' is not the tag rule no6; did you mean no6? (...)"), or
// empty for any other tag.
std::string tag_refusal(std::string_view tag);
// The warning for a tag that is none of kTagNames but near one ("alllgas"):
// it runs, as a label of its own with every reaction, which is seldom what
// was meant. Empty for the names themselves and tags near none.
std::string tag_warning(std::string_view tag);
// "the species 'api_oh' is in no species table; did you mean API_OH?":
// the near names looked for among `file_names` (a species table file's
// rows) and then the built-in table.
std::string unknown_species(std::string_view species,
                            std::span<const std::string_view> file_names = {});

enum class Layout {
  standard,  // aer.precursor, aer.cdis_all.6 and aer.wmol_vbs.6 below ../INPUTS_ODE
  ideal,     // aer.precursor.ideal and aer.ideal in the working directory
};
Layout layout_of(std::string_view species);
inline Layout layout_of(const SpeciesRow& row) {
  return row.ideal ? Layout::ideal : Layout::standard;
}

// The input files' names. The standard layout keeps its three in the
// directory standard_input_directory() names, beside the working directory;
// the ideal layout its two in the working directory itself.
inline constexpr std::string_view kPrecursorFile = "aer.precursor";
inline constexpr std::string_view kBinsFile = "aer.cdis_all.6";
inline constexpr std::string_view kMolarMassFile = "aer.wmol_vbs.6";
inline constexpr std::string_view kIdealPrecursorFile = "aer.precursor.ideal";
inline constexpr std::string_view kIdealBinsFile = "aer.ideal";

// The directory of the standard layout's inputs, beside the working
// directory (in its parent).
inline constexpr std::string_view kInputsDirectory = "INPUTS_ODE";
// INPUTS_ODE/5days/<scenario>_aer.<species>, relative to the parent of the
// working directory.
std::string standard_input_directory(std::string_view species, std::string_view scenario);

// The input files of a run, relative to its working directory.
struct InputPaths {
  std::string precursor;
  std::string bins;
  std::string molar_masses;
};
// The three files of the standard layout, "../" + standard_input_directory()
// + "/" + the file's name.
InputPaths standard_input_paths(std::string_view species, std::string_view scenario);
// The files a run reads: the standard ones, or for the ideal layout its two
// files in the working directory (molar_masses stays the standard path,
// which that layout never reads).
InputPaths input_paths(std::string_view species, std::string_view scenario);
// The same for a species that takes `row`.
InputPaths input_paths(std::string_view species, std::string_view scenario, const SpeciesRow& row);

// The results file, relative to the working directory:
// FITS/fit6_coef.<species>.<scenario>.<tag>.
std::string results_path(std::string_view species, std::string_view scenario,
                         std::string_view tag);
inline constexpr std::string_view kResultsDirectory = "FITS";
// The label of a term of the fit: "VOC" for term 0, the precursor, and
// "VB1" ... "VB6" for bins 1 ... 6 (term j is bin j), as the results file's
// column line names them.
std::string term_label(int term);

// The two header records of the results file.
inline constexpr std::string_view kResultsTitle = "Outputs given as";
inline constexpr std::string_view kResultsColumns =
    "VOC   VB1    VB2     VB3    VB4    VB5   VB6    ";

}  // namespace config
