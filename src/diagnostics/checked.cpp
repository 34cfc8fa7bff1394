#include "diagnostics/checked.hpp"

#include "diagnostics/diagnostic.hpp"

namespace diagnostics {

void report_subscript(const char* array, int position, std::int64_t value, std::int64_t bound,
                      bool below) {
  // The subscript text carries its own line end, so the message line is
  // followed by an empty line before the traceback.
  static constexpr const char* kBelow =
      "fort: (%d): Subscript #%d of the array %s has value %ld which is less than the lower "
      "bound of %ld\n";
  static constexpr const char* kAbove =
      "fort: (%d): Subscript #%d of the array %s has value %ld which is greater than the upper "
      "bound of %ld\n";
  char text[512];
  std::size_t n = format_text(text, sizeof text - 1, below ? kBelow : kAbove,
                              {below ? 3 : 2, position, array, static_cast<long long>(value),
                               static_cast<long long>(bound)});
  text[n] = '\0';
  issue_severe(kSubscriptOutOfRange, {text});
}

void check_defined(const char* qualified_name, bool defined) {
  if (!defined) issue_severe(kUndefinedVariable, {qualified_name});
}

}  // namespace diagnostics
