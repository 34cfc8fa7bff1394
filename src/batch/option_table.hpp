// A program's options as data: one array of {long name, short name, value,
// setter, help} from which the command line is read and --help is written,
// so that an option is spelled once. GNU style: "--name VALUE",
// "--name=VALUE", "-c VALUE", "-cVALUE", and "--" ends the options.
// vbsfit-batch and vbsgen both read their command lines with it.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace batch {

enum class OptionValue {
  none,      // a flag: "--name=VALUE" is refused
  required,  // the next argument, or after '=' (or after the short name)
  optional,  // only after '=': "--name" alone passes no value
};

template <typename Options>
struct Option {
  // Without "--". Empty: a row of help only, `help` printed as it is (a
  // heading, a paragraph between options, a blank line).
  std::string_view name;
  char short_name = '\0';  // '\0': none
  OptionValue value = OptionValue::none;
  // What --help shows after the name: "FILE", or "[=all]" for an optional
  // value (written without a space).
  std::string_view metavar;
  // Stores the value (none for a flag, or for an optional value not given).
  // Returns the usage error, or empty.
  std::string (*set)(Options&, const std::optional<std::string>& value) = nullptr;
  // The help's lines, joined by '\n', without the column they are indented
  // to; a help starting with '\n' starts below the name.
  std::string_view help;
  unsigned groups = 0;  // the program's own marks (vbsfit-batch: what --merge takes)
};

// A row of help only: `text` printed as it is.
template <typename Options>
constexpr Option<Options> help_row(std::string_view text) {
  Option<Options> row;
  row.help = text;
  return row;
}

// What a command line was read into, besides the options' setters.
struct ParsedLine {
  std::string error;                    // the first usage error, or empty
  std::vector<std::string> operands;    // the arguments that are not options
  std::vector<std::size_t> given;       // the table rows of the options given, in order
};

// The usage error of one option: "option '--jobs' needs a value".
std::string option_error(std::string_view name, std::string_view fault);

// Splits `arg`, an argument starting with '-', into the name it gives (the
// long name, or the short name as one character) and the value written into
// it ("--jobs=4", "-j4"). `is_short` says which form it is.
void split_argument(const std::string& arg, bool& is_short, std::string& name,
                    std::optional<std::string>& value);

// Reads `args` into `options` through `table`'s setters, stopping at the
// first error. Arguments that are not options are operands; when
// `operands_allowed` is false, the first is refused as "unexpected argument".
template <typename Options>
ParsedLine parse_command_line(std::span<const Option<Options>> table,
                              const std::vector<std::string>& args, Options& options,
                              bool operands_allowed) {
  ParsedLine line;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size() && line.error.empty(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      if (!operands_allowed) line.error = "unexpected argument '" + arg + "'";
      line.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    bool is_short = false;
    std::string name;
    std::optional<std::string> value;
    split_argument(arg, is_short, name, value);
    std::size_t row = 0;
    while (row < table.size() && (table[row].name.empty() ||
                                  (is_short ? table[row].short_name != name[0]
                                            : table[row].name != name))) {
      ++row;
    }
    if (row == table.size() ||
        (is_short && table[row].value == OptionValue::none && value)) {
      line.error = "unknown option '" + (is_short ? arg : "--" + name) + "'";
      break;
    }
    const Option<Options>& option = table[row];
    if (option.value == OptionValue::none && value) {
      line.error = option_error(option.name, "takes no value");
    } else if (option.value == OptionValue::required && !value) {
      if (i + 1 == args.size()) line.error = option_error(option.name, "needs a value");
      else value = args[++i];
    }
    if (line.error.empty()) line.error = option.set(options, value);
    line.given.push_back(row);
  }
  return line;
}

// The options' part of --help: each row's label ("  -j, --jobs N") in a
// column of its own `indent` wide (followed by two blanks when it is
// wider), its help's lines indented to match; rows of help only as they are.
template <typename Options>
std::string options_help(std::span<const Option<Options>> table, std::size_t indent);

// options_help for one row, apart from its setter.
std::string option_help_entry(std::string_view name, char short_name, OptionValue value,
                              std::string_view metavar, std::string_view help,
                              std::size_t indent);

template <typename Options>
std::string options_help(std::span<const Option<Options>> table, std::size_t indent) {
  std::string out;
  for (const Option<Options>& option : table) {
    out += option_help_entry(option.name, option.short_name, option.value, option.metavar, option.help,
                             indent);
  }
  return out;
}

}  // namespace batch
