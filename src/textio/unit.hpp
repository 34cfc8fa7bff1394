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
//
// A new file appears under its name only complete: its records go to a
// temporary file in the same directory (unnamed where the file system allows,
// else named "<name>.tmp-<pid>-<n>"), which the program's own close links
// under the name, never replacing a file that appeared in the meantime (10).
// Every other ending removes the temporary file.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "diagnostics/termination.hpp"

namespace textio {

enum class OpenStatus {
  old_file,  // must exist; opened for reading and writing, or reading only
             // (a FIFO for reading only, so that its writer's close ends it)
  new_file,  // must not exist; appears when closed (see above)
};

// How a new file waits for its close: written to a temporary file without a
// name (O_TMPFILE) or with one; `named` only skips the first.
enum class TemporaryFile { unnamed_first, named };

class Unit final : public diagnostics::ExitClosable {
 public:
  // Takes over `fd`, which the unit closes (unless it is a standard stream).
  // A unit that flushes every statement writes its records out at the end of
  // each write statement (one write_record alone is a statement).
  Unit(int number, std::string file_name, int fd, bool flush_every_statement);
  // A new file written to `fd`, a temporary file: unnamed when `temp_name`
  // is empty, else that name. close() gives it `file_name`.
  Unit(int number, std::string file_name, int fd, std::string temp_name, bool unnamed);
  // A unit whose records are appended to `memory` (each with its line feed)
  // instead of going to a file: the results and progress lines of a fit in
  // memory. It holds nothing that an ending could lose, so it is not
  // registered with the exit processing, and one thread's memory unit is
  // never seen by another.
  Unit(int number, std::string file_name, std::string& memory);
  ~Unit();
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  int number() const { return number_; }
  // The full name shown in messages about this unit.
  const std::string& file_name() const { return file_name_; }

  // Appends one record (the text and a line feed): a statement of its own.
  void write_record(std::string_view text);
  // Appends the records of one write statement, in order.
  void write_records(std::span<const std::string> records);
  // Writes out everything buffered; a failure ends the run with message 38.
  void flush();

  // Reads the next record into `record`; false at the end of the file.
  // A read failure of the operating system ends the run with message 39.
  bool read_record(std::string& record);
  // The same, without a copy: `record` views the unit's input buffer and stays
  // valid until the unit's next read or its close.
  bool read_record(std::string_view& record);
  // The next `n` input bytes when the buffer holds them already (nothing is
  // read): for a reader that knows how long its next record should be and
  // checks that its line feed ends it and that none stands before.
  bool buffered(std::size_t n, std::string_view& bytes) const {
    if (in_size_ - in_pos_ < n) return false;
    bytes = std::string_view(in_.get() + in_pos_, n);
    return true;
  }
  // Takes the next `n` buffered bytes as read: a whole record with its line
  // feed, found so through buffered().
  void take_buffered(std::size_t n) { in_pos_ += n; }

  // Flushes and closes; the unit stays registered with nothing else to do.
  // A new file is put on disk (fsync) and linked under its name: a failure
  // ends the run with 38, an entry of that name that appeared since the open
  // with 10, any other refusal with the message its open would have had.
  void close();
  // For a new file: `hook` runs at close() once the file is on disk, just
  // before it gets its name (the moment a program's result stands).
  void before_naming(void (*hook)() noexcept) { before_naming_ = hook; }
  // Whether close() waits for a new file's records to reach the disk before
  // it names the file (the default). A caller that flushes the file system
  // itself, for many files at once, before it relies on them (vbsfit-batch,
  // for its runs) turns it off for the whole process.
  static void sync_before_naming(bool sync) { sync_before_naming_ = sync; }
  // Writes out what is buffered and closes, reporting nothing: the run is
  // ending. A new file not yet closed is removed. Async-signal-safe.
  void close_at_exit() noexcept override;
  void flush_before_stop() override {
    if (pending_ == Pending::none) flush();
  }

 private:
  enum class Pending { none, unnamed, named };

  void append_record(std::string_view text);
  bool fill_input();
  void publish();
  [[noreturn]] void write_failed();

  static inline bool sync_before_naming_ = true;

  int number_;
  std::string file_name_;
  int fd_;
  std::string* memory_ = nullptr;
  bool flush_every_statement_;
  // Output records waiting to be written (the buffer taken at the first
  // record): out_size_ counts only whole records, and grows only after a
  // record has been copied in, so a signal handler that writes the buffer
  // out never sees half a record.
  std::unique_ptr<char[]> out_;
  volatile std::size_t out_size_ = 0;
  // Whether the records still wait in a temporary file, and its name.
  volatile Pending pending_ = Pending::none;
  std::string temp_name_;
  void (*before_naming_)() noexcept = nullptr;
  // Input bytes in_[in_pos_ ... in_size_) not yet taken as records; the
  // buffer grows only for a line longer than it, and is never cleared.
  std::unique_ptr<char[]> in_;
  std::size_t in_capacity_ = 0;
  std::size_t in_size_ = 0;
  std::size_t in_pos_ = 0;
  bool in_eof_ = false;
};

// The standard output unit: the process's standard output, or what
// redirect_standard_output() gave this thread.
Unit& standard_output();

// Sends the calling thread's standard output to `unit` (nullptr: to the
// process's standard output again) and returns the unit it replaces. A fit in
// memory writes its progress lines there, not into its caller's output.
Unit* redirect_standard_output(Unit* unit) noexcept;

// Forms the full file name of an OPEN: leading and trailing blanks removed; a
// name beginning with "/" is kept, "~/" takes HOME's value for the "~", any
// other name is appended to the current directory with one "/" between (no
// "." or ".." resolved). A relative name when the current directory cannot be
// had ends the run with message 121 for `unit`.
std::string full_file_name(int unit, std::string_view file);

// Opens `file` on `unit` or ends the run with the message of the failure. A
// unit number that is open already is closed first.
Unit& open_unit(int unit, std::string_view file, OpenStatus status,
                TemporaryFile temporary = TemporaryFile::unnamed_first);

// Flushes and closes the unit with this number and forgets it.
void close_unit(int unit);

}  // namespace textio
