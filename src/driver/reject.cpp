#include "driver/reject.hpp"

#include <unistd.h>

#include <charconv>

#include "diagnostics/termination.hpp"

namespace driver {

void reject_input(const std::string& line) {
  std::string text = "vbsfit: " + line + "\n";
  ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
  (void)written;
  diagnostics::stop_run(1);
}

std::string shortest(double value) {
  char text[32];
  auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

}  // namespace driver
