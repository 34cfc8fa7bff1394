#include "config/formats.hpp"

#include <charconv>
#include <ctime>

namespace config {

std::string shortest(double value) {
  char text[32];  // 24 characters at most: "-2.2250738585072014e-308"
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string shortest(float value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string utc_time(long long seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char text[32] = "";
  if (::gmtime_r(&t, &parts) != nullptr) {
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  }
  return text;
}

}  // namespace config
