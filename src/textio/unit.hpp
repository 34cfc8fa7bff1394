// Units: numbered text streams of records. Standard output is a unit, and so
// is every file the program opens for reading (an existing file) or writing (a
// new file). A record is one line; output records end with a line feed, input
// records end at a line feed with one carriage return before it dropped, and a
// last line without a line feed is still a record.
//
// Every open unit is registered with the exit processing, so that whatever
// ends the run (stop, severe diagnostic, signal) finds its records on disk.
// Failures end the run with the numbered diagnostics: OPEN 29, 10, 9, 42, 43,
// 30, 121; READ 39; WRITE 38.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "diagnostics/termination.hpp"

namespace textio {

enum class OpenStatus {
  old_file,  // must exist; opened for reading and writing, or reading only
  new_file,  // must not exist; created
};

class Unit : public diagnostics::ExitClosable {
 public:
  // Takes over `fd`, which the unit closes (unless it is a standard stream).
  Unit(int number, std::string file_name, int fd, bool flush_every_record);
  ~Unit();
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  int number() const { return number_; }
  // The full name shown in messages about this unit.
  const std::string& file_name() const { return file_name_; }

  // Appends one record (the text and a line feed).
  void write_record(std::string_view text);
  // Writes out everything buffered; a failure ends the run with message 38.
  void flush();

  // Reads the next record into `record`; false at the end of the file.
  // A read failure of the operating system ends the run with message 39.
  bool read_record(std::string& record);

  // Flushes and closes; the unit stays registered with nothing else to do.
  void close();
  // Writes out what is buffered and closes, reporting nothing: the run is
  // ending. Async-signal-safe.
  void close_at_exit() noexcept override;
  void flush_before_stop() override { flush(); }

 private:
  bool fill_input();
  [[noreturn]] void write_failed();

  int number_;
  std::string file_name_;
  int fd_;
  bool flush_every_record_;
  // Output records waiting to be written: out_size_ counts only whole
  // records, and grows only after a record has been copied in, so a signal
  // handler that writes the buffer out never sees half a record.
  std::unique_ptr<char[]> out_;
  volatile std::size_t out_size_ = 0;
  std::string in_;
  std::size_t in_pos_ = 0;
  bool in_eof_ = false;
};

// The standard output unit.
Unit& standard_output();

// Forms the full file name of an OPEN: leading and trailing blanks removed; a
// name beginning with "/" is kept, "~/" takes HOME's value for the "~", any
// other name is appended to the current directory with one "/" between (no
// "." or ".." resolved). A relative name when the current directory cannot be
// had ends the run with message 121 for `unit`.
std::string full_file_name(int unit, std::string_view file);

// Opens `file` on `unit` or ends the run with the message of the failure. A
// unit number that is open already is closed first.
Unit& open_unit(int unit, std::string_view file, OpenStatus status);

// Flushes and closes the unit with this number and forgets it.
void close_unit(int unit);

}  // namespace textio
