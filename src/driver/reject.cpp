#include "driver/reject.hpp"

#include <charconv>

#include "diagnostics/termination.hpp"

namespace driver {

void reject_input(const std::string& line) {
  const std::string text = "vbsfit: " + line + "\n";
  diagnostics::stop_with_error(1, text.data(), text.size());
}

std::string shortest(double value) {
  char text[32];
  auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

}  // namespace driver
