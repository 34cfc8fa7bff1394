#include "batch/csv.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <charconv>
#include <fstream>
#include <iterator>
#include <cmath>
#include <cstring>

#include "batch/input_files.hpp"

namespace batch {

namespace {

// Appends `text` to `out` as a field of a record.
void append_field(std::string& out, std::string_view text) {
  const bool plain = std::none_of(text.begin(), text.end(), [](char c) {
    return c == ',' || c == '"' || c == '\r' || c == '\n';
  });
  if (plain) {
    out += text;
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

}  // namespace

std::string csv_field(std::string_view text) {
  std::string field;
  append_field(field, text);
  return field;
}

std::string csv_number(double value) {
  if (std::isnan(value)) return {};
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string csv_number(std::optional<double> value) {
  return value ? csv_number(*value) : std::string();
}

std::string csv_text(const CsvRow& header, const std::vector<CsvRow>& rows) {
  std::string text;
  auto add = [&text](const CsvRow& row) {
    for (std::size_t n = 0; n < row.size(); ++n) {
      if (n > 0) text += ',';
      append_field(text, row[n]);
    }
    text += '\n';
  };
  add(header);
  for (const CsvRow& row : rows) add(row);
  return text;
}

std::string parse_csv(std::string_view text, std::vector<CsvRow>& rows) {
  rows.clear();
  std::size_t at = 0;
  int record = 1;
  while (at < text.size()) {
    CsvRow row;
    for (;;) {
      std::string field;
      if (at < text.size() && text[at] == '"') {
        ++at;
        for (;;) {
          if (at >= text.size()) return "record " + std::to_string(record) + ": unterminated quote";
          if (text[at] == '"') {
            if (at + 1 < text.size() && text[at + 1] == '"') {
              field += '"';
              at += 2;
              continue;
            }
            ++at;
            break;
          }
          field += text[at++];
        }
        if (at < text.size() && text[at] != ',' && text[at] != '\n' && text[at] != '\r') {
          return "record " + std::to_string(record) + ": text after a closing quote";
        }
      } else {
        const std::size_t end = text.find_first_of(",\r\n", at);
        const std::size_t stop = end == std::string_view::npos ? text.size() : end;
        field.assign(text.substr(at, stop - at));
        if (field.find('"') != std::string::npos) {
          return "record " + std::to_string(record) + ": a quote inside an unquoted field";
        }
        at = stop;
      }
      row.push_back(std::move(field));
      if (at < text.size() && text[at] == ',') {
        ++at;
        continue;
      }
      break;
    }
    if (at < text.size() && text[at] == '\r') ++at;
    if (at < text.size() && text[at] == '\n') ++at;
    rows.push_back(std::move(row));
    ++record;
  }
  return {};
}

std::string write_file_atomically(const std::string& path, std::string_view content) {
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return "cannot create a temporary file beside " + path + ": " + std::strerror(errno);
  auto fail = [&](const char* what) {
    std::string error = std::string(what) + " " + temporary + ": " + std::strerror(errno);
    ::close(fd);
    ::unlink(temporary.c_str());
    return error;
  };
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return fail("cannot write");
    done += static_cast<std::size_t>(wrote);
  }
  // mkstemp makes the file private; a table is as readable as any other file.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd, 0666 & ~mask) != 0) return fail("cannot set the permissions of");
  if (::close(fd) != 0) {
    std::string error = "cannot write " + temporary + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return error;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    std::string error = "cannot replace " + path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return error;
  }
  return {};
}

bool read_whole_file(const std::string& path, std::string& text) {
  // Never a directory or a device: those would end the batch, not refuse it.
  return read_input_file(path == "-" ? "./-" : path, SIZE_MAX, text).empty();
}

}  // namespace batch
