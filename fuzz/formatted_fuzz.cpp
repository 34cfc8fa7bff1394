// The formatted field reader against the reference rules: any text, read by
// one to four statements of FMT3 (seven fields), FMT4 or FMT5 (two fields).
// Every statement must end as the rules say (complete, end of file, message
// 64) and give every field's value bit for bit as strtod does; and the field
// reader's fast path must agree with its exact reader alone.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "reference.hpp"
#include "textio/formatted.hpp"

namespace {

constexpr double kUntouched = -12345.678;
constexpr int kUnit = 30;

struct Use {
  const textio::Format* format;
  std::size_t values;
  int width;
  int digits;
};

const Use kUses[] = {{&textio::FMT3, 7, 13, 5}, {&textio::FMT4, 2, 13, 5}, {&textio::FMT5, 2, 24, 14}};

// One input, whose reads each catch their own ending.
void check_input(const std::uint8_t* data, std::size_t size) {
  static fuzzing::MemoryFile file;
  if (size < 1) return;
  const Use& use = kUses[data[0] % 3];
  const int statements = 1 + (data[0] / 3) % 4;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  file.set(text);

  reference::Reader model{reference::records_of(text)};
  textio::Unit& unit = textio::open_unit(kUnit, file.name(), textio::OpenStatus::old_file);
  const std::string failure = "forrtl: severe (64): input conversion error, unit " +
                              std::to_string(kUnit) + ", file " + file.name() + "\n";
  for (int s = 0; s < statements; ++s) {
    std::vector<double> got(use.values, kUntouched);
    std::vector<double*> destinations;
    for (double& g : got) destinations.push_back(&g);
    reference::Outcome outcome;
    const auto ended = diagnostics::capture_ending([&] {
      if (textio::read_formatted(unit, *use.format, destinations) ==
          textio::ReadOutcome::end_of_file) {
        outcome.kind = reference::Outcome::end_of_file;
      }
    });
    if (ended) {
      outcome = {reference::Outcome::ended, ended->status};
      if (fuzzing::first_line(*ended) != failure) fuzzing::disagree("message " + ended->text);
    }
    std::vector<std::optional<double>> want(use.values);
    const reference::Outcome expected =
        reference::read_formatted(model, use.width, use.digits, want);
    fuzzing::check_statement(s, outcome, expected, got, want, kUntouched);
    if (outcome.kind != reference::Outcome::complete) break;
  }
  textio::close_unit(kUnit);

  // The field reader's fast path against its exact reader alone, on the
  // first line of the input taken as one field.
  const std::string field = text.substr(0, text.find('\n'));
  double fast = kUntouched, exact = kUntouched;
  const textio::FieldStatus fast_status = textio::parse_e_field(field, use.digits, fast);
  const textio::FieldStatus exact_status = textio::parse_e_field_exact(field, use.digits, exact);
  if (fast_status != exact_status || !fuzzing::same_bits(fast, exact)) {
    fuzzing::disagree("fast path " + fuzzing::show(fast) + ", exact reader " +
                      fuzzing::show(exact) + " for the field \"" + field + "\"");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzzing::run_input([&] { check_input(data, size); });
}
