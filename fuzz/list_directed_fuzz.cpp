// The list-directed reader against the reference rules: any text, read by
// one to eight statements of zero to eight values each. Every statement must
// end as the rules say (complete, end of file, message 59 or 64) and leave
// every destination bit for bit as they say.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "reference.hpp"
#include "textio/list_directed.hpp"

namespace {

constexpr double kUntouched = -12345.678;  // what a destination holds before a read
constexpr int kUnit = 20;

std::string message_line(int number, const std::string& file) {
  const char* text = number == 59 ? "list-directed I/O syntax error" : "input conversion error";
  return "forrtl: severe (" + std::to_string(number) + "): " + text + ", unit " +
         std::to_string(kUnit) + ", file " + file + "\n";
}

// One input, whose reads each catch their own ending.
void check_input(const std::uint8_t* data, std::size_t size) {
  static fuzzing::MemoryFile file;
  if (size < 2) return;
  const std::size_t count = data[0] % 9;
  const int statements = 1 + data[1] % 8;
  const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
  file.set(text);

  reference::Reader model{reference::records_of(text)};
  textio::Unit& unit = textio::open_unit(kUnit, file.name(), textio::OpenStatus::old_file);
  for (int s = 0; s < statements; ++s) {
    std::vector<double> got(count, kUntouched);
    std::vector<double*> destinations;
    for (double& g : got) destinations.push_back(&g);
    reference::Outcome outcome;
    const auto ended = diagnostics::capture_ending([&] {
      if (textio::read_list(unit, destinations) == textio::ReadOutcome::end_of_file) {
        outcome.kind = reference::Outcome::end_of_file;
      }
    });
    if (ended) {
      outcome = {reference::Outcome::ended, ended->status};
      const std::string line = fuzzing::first_line(*ended);
      if (line != message_line(ended->status, file.name())) fuzzing::disagree("message " + line);
    }
    std::vector<std::optional<double>> want(count);
    const reference::Outcome expected = reference::read_list(model, want);
    fuzzing::check_statement(s, outcome, expected, got, want, kUntouched);
    if (outcome.kind != reference::Outcome::complete) break;
  }
  textio::close_unit(kUnit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzzing::run_input([&] { check_input(data, size); });
}
