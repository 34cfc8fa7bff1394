#include "batch/input_faults.hpp"

#include <algorithm>
#include <string_view>

#include "batch/files.hpp"
#include "config/config.hpp"
#include "diagnostics/diagnostic.hpp"
#include "textio/formatted.hpp"
#include "textio/list_directed.hpp"

namespace batch {
namespace {

// Input files larger than this are not read again: a simulation of a
// million records in the widest layout is about a tenth of it.
constexpr std::size_t kLargestInput = std::size_t{1} << 30;

// One input file as the readers read it.
struct InputFile {
  std::string path;             // relative to the working directory
  bool header = false;          // one header record skipped
  const textio::Format* format; // nullptr: list-directed
  int values = 0;               // values per data record
};

std::vector<InputFile> input_files(const RunEntry& entry) {
  const Configuration& c = entry.config;
  const config::SpeciesRow& row = entry.species.row;
  const config::InputPaths paths = config::input_paths(c.species, c.scenario, row);
  constexpr int kBinValues = config::kBins + 1;
  if (config::layout_of(row) == config::Layout::ideal) {
    return {{paths.precursor, true, &textio::FMT5, 2}, {paths.bins, true, nullptr, kBinValues}};
  }
  return {{paths.precursor, true, &textio::FMT4, 2},
          {paths.bins, false, &textio::FMT3, kBinValues},
          {paths.molar_masses, false, &textio::FMT3, kBinValues}};
}

// The records of a file as the text units split them: at each line feed, a
// carriage return before it dropped, a last line without one counted.
std::vector<std::string_view> records_of(std::string_view text) {
  std::vector<std::string_view> records;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view record = text.substr(0, lf);
    if (lf != std::string_view::npos && !record.empty() && record.back() == '\r') {
      record.remove_suffix(1);
    }
    records.push_back(record);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
  }
  return records;
}

std::string base_name(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string field_text(std::string_view field) {
  const std::size_t first = field.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return std::string(field.substr(first, field.find_last_not_of(' ') - first + 1));
}

std::string located(const InputFile& file, std::size_t line, int first, int last,
                    std::string_view text) {
  return base_name(file.path) + " line " + std::to_string(line) + ", columns " +
         std::to_string(first) + "-" + std::to_string(last) + ": " + quoted(text);
}

// The first field of the data records 1 ... 1441 that a read cannot
// convert, located; empty when there is none.
std::string conversion_fault(const InputFile& file, const std::vector<std::string_view>& records) {
  const std::size_t first = file.header ? 1 : 0;
  if (file.format != nullptr) {
    const textio::EditDescriptor& field = file.format->descriptors.front();
    for (std::size_t n = first; n < records.size() && n < first + config::kRecords; ++n) {
      for (int f = 0; f < file.values; ++f) {
        const std::size_t start = static_cast<std::size_t>(f * field.width);
        const std::string_view text =
            start < records[n].size() ? records[n].substr(start, field.width) : "";
        double value = 0.0;
        if (textio::parse_e_field(text, field.digits, value) == textio::FieldStatus::failure) {
          return located(file, n + 1, static_cast<int>(start) + 1,
                         static_cast<int>(start) + field.width, field_text(text));
        }
      }
    }
    return {};
  }
  int read = 0;
  long long wanted = file.values;
  for (std::size_t n = first; n < records.size() && read < config::kRecords; ++n) {
    const textio::ValueFault fault = textio::find_value_fault(records[n], wanted);
    if (fault.message != 0) {
      return located(file, n + 1, fault.first_column, fault.last_column,
                     records[n].substr(fault.first_column - 1,
                                       fault.last_column - fault.first_column + 1));
    }
    if (wanted == 0) {  // a record read; the rest of its last line is skipped
      ++read;
      wanted = file.values;
    }
  }
  return {};
}

// The data records a file holds (list-directed: the complete ones).
int data_records(const InputFile& file, const std::vector<std::string_view>& records) {
  const std::size_t first = file.header ? 1 : 0;
  if (records.size() <= first) return 0;
  if (file.format != nullptr) return static_cast<int>(records.size() - first);
  int read = 0;
  long long wanted = file.values;
  for (std::size_t n = first; n < records.size(); ++n) {
    textio::find_value_fault(records[n], wanted);
    if (wanted == 0) {
      ++read;
      wanted = file.values;
    }
  }
  return read;
}

}  // namespace

std::string locate_input_fault(const RunEntry& entry, const std::string& workdir,
                               int exit_status) {
  const bool conversion = exit_status == diagnostics::kInputConversion ||
                          exit_status == diagnostics::kListDirectedSyntax;
  if (!conversion && exit_status != diagnostics::kEndOfFile) return {};
  // The readers stop at the first file that fails, so the first file that
  // shows the failure is the one.
  for (const InputFile& file : input_files(entry)) {
    std::string text;
    if (!read_input_file(workdir + "/" + file.path, kLargestInput, text).empty()) return {};
    const std::vector<std::string_view> records = records_of(text);
    if (conversion) {
      if (std::string where = conversion_fault(file, records); !where.empty()) return where;
      continue;
    }
    if (file.header && records.empty()) return base_name(file.path) + " is empty (no header line)";
    const int count = data_records(file, records);
    if (count < config::kRecords) {
      return base_name(file.path) + " holds " + std::to_string(count) + " data records of the " +
             std::to_string(config::kRecords) + " needed";
    }
  }
  return {};
}

int surplus_records(const RunEntry& entry, const std::string& workdir) {
  int most = 0;
  for (const InputFile& file : input_files(entry)) {
    std::string text;
    if (!read_input_file(workdir + "/" + file.path, kLargestInput, text).empty()) continue;
    most = std::max(most, data_records(file, records_of(text)));
  }
  return most > config::kRecords ? most : 0;
}

void note_input_fault(const RunEntry& entry, Outcome& o, const std::string& workdir) {
  if (o.state != State::failed || !o.exit_status) return;
  const std::string where = locate_input_fault(entry, workdir, *o.exit_status);
  if (!where.empty()) o.message += (o.message.empty() ? "" : "; ") + where;
}

}  // namespace batch
