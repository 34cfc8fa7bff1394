// The command line of a batch as JSON text, kept byte for byte.
#include <cstdint>
#include <string>
#include <vector>

#include "study/study.hpp"

namespace study {
namespace {

// The length of the well-formed UTF-8 sequence at text[n] (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF), or 0.
std::size_t utf8_length(const std::string& text, std::size_t n) {
  auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(n);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (n + length > text.size()) return 0;
  if (byte(n + 1) < low || byte(n + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(n + k) < 0x80 || byte(n + k) > 0xbf) return 0;
  }
  return length;
}

void append_escape(std::string& out, unsigned value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xf];
}

void append_utf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xc0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xe0 | code >> 12);
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | code >> 18);
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

// Reads four hex digits at text[n]; false when they are not.
bool hex4(const std::string& text, std::size_t n, std::uint32_t& value) {
  if (n + 4 > text.size()) return false;
  value = 0;
  for (std::size_t k = n; k < n + 4; ++k) {
    const char c = text[k];
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) return false;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return true;
}

// Reads the JSON string that starts at text[n] (its opening quote) into
// `out`, leaving n after its closing quote; false when it is not one.
bool read_string(const std::string& text, std::size_t& n, std::string& out) {
  if (n >= text.size() || text[n] != '"') return false;
  for (++n; n < text.size(); ++n) {
    const char c = text[n];
    if (c == '"') {
      ++n;
      return true;
    }
    if (static_cast<unsigned char>(c) < 0x20) return false;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++n >= text.size()) return false;
    switch (text[n]) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '/': out += '/'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        std::uint32_t code = 0;
        if (!hex4(text, n + 1, code)) return false;
        n += 4;
        std::uint32_t low = 0;
        if (code >= 0xd800 && code <= 0xdbff && n + 2 < text.size() && text[n + 1] == '\\' &&
            text[n + 2] == 'u' && hex4(text, n + 3, low) && low >= 0xdc00 && low <= 0xdfff) {
          append_utf8(out, 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00));
          n += 6;
        } else if (code >= 0xdc80 && code <= 0xdcff) {
          out += static_cast<char>(code - 0xdc00);  // a byte that was not UTF-8
        } else if (code >= 0xd800 && code <= 0xdfff) {
          return false;
        } else {
          append_utf8(out, code);
        }
        break;
      }
      default: return false;
    }
  }
  return false;
}

void skip_blanks(const std::string& text, std::size_t& n) {
  while (n < text.size() && (text[n] == ' ' || text[n] == '\n' || text[n] == '\t' || text[n] == '\r')) {
    ++n;
  }
}

}  // namespace

std::string json_arguments(const std::vector<std::string>& arguments) {
  std::string out = "[";
  for (const std::string& argument : arguments) {
    if (out.size() > 1) out += ',';
    out += '"';
    for (std::size_t n = 0; n < argument.size();) {
      const unsigned char c = static_cast<unsigned char>(argument[n]);
      const std::size_t length = utf8_length(argument, n);
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c == '\n') {
        out += "\\n";
      } else if (c == '\t') {
        out += "\\t";
      } else if (c < 0x20 || c == 0x7f) {
        append_escape(out, c);
      } else if (length == 0) {
        append_escape(out, 0xdc00 + c);
      } else {
        out.append(argument, n, length);
        n += length;
        continue;
      }
      ++n;
    }
    out += '"';
  }
  return out + "]";
}

bool parse_json_arguments(const std::string& text, std::vector<std::string>& arguments) {
  std::vector<std::string> read;
  std::size_t n = 0;
  skip_blanks(text, n);
  if (n >= text.size() || text[n++] != '[') return false;
  skip_blanks(text, n);
  if (n < text.size() && text[n] == ']') {
    ++n;
  } else {
    for (;;) {
      skip_blanks(text, n);
      if (!read_string(text, n, read.emplace_back())) return false;
      skip_blanks(text, n);
      if (n >= text.size()) return false;
      const char c = text[n++];
      if (c == ']') break;
      if (c != ',') return false;
    }
  }
  skip_blanks(text, n);
  if (n != text.size()) return false;
  arguments = std::move(read);
  return true;
}

}  // namespace study
