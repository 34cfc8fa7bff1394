#include "batch/option_table.hpp"

#include <algorithm>

namespace batch {

std::string option_error(std::string_view name, std::string_view fault) {
  return "option '--" + std::string(name) + "' " + std::string(fault);
}

void split_argument(const std::string& arg, bool& is_short, std::string& name,
                    std::optional<std::string>& value) {
  is_short = arg.rfind("--", 0) != 0;
  if (is_short) {
    name = arg.substr(1, 1);
    if (arg.size() > 2) value = arg.substr(2);
    return;
  }
  name = arg.substr(2);
  if (const std::size_t eq = name.find('='); eq != std::string::npos) {
    value = name.substr(eq + 1);
    name.resize(eq);
  }
}

std::string option_help_entry(std::string_view name, char short_name, OptionValue value,
                              std::string_view metavar, std::string_view help,
                              std::size_t indent) {
  if (name.empty()) return std::string(help) + "\n";
  std::string out = "  ";
  if (short_name != '\0') out += std::string{'-', short_name, ',', ' '};
  out += "--" + std::string(name);
  if (!metavar.empty()) out += (value == OptionValue::optional ? "" : " ") + std::string(metavar);
  const bool below = help.starts_with('\n');  // the help starts on the next line
  if (below) {
    help.remove_prefix(1);
  } else {
    out.resize(std::max(out.size() + 2, indent), ' ');
  }
  for (std::size_t at = 0, end = 0; end != std::string_view::npos; at = end + 1) {
    end = help.find('\n', at);
    if (at > 0 || below) out += "\n" + std::string(indent, ' ');
    out += help.substr(at, end == std::string_view::npos ? end : end - at);
  }
  return out + "\n";
}

}  // namespace batch
