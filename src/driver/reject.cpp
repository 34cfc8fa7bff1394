#include "driver/reject.hpp"

#include "diagnostics/termination.hpp"

namespace driver {

void reject_input(const std::string& line) {
  const std::string text = "vbsfit: " + line + "\n";
  diagnostics::stop_with_error(1, text.data(), text.size());
}

}  // namespace driver
