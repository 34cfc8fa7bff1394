// Numbered run-time diagnostics: the message table, the one reporting path
// (issue_diagnostic) and the routine stack behind the traceback.
//
// A message is composed with its prefix, its formatted text, one line end and
// the traceback in one buffer and written to standard error with a single
// write. Severe messages then run the exit processing and end the process with
// the message number as exit status. Nothing here allocates, so the signal
// handlers may use it.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace diagnostics {

enum class Severity { error, severe };

// One argument of a message template: %d and %ld take an integer, %s a string.
struct DiagArg {
  DiagArg(int value) : is_text(false), number(value), text(nullptr) {}
  DiagArg(long value) : is_text(false), number(value), text(nullptr) {}
  DiagArg(long long value) : is_text(false), number(value), text(nullptr) {}
  DiagArg(const char* value) : is_text(true), number(0), text(value) {}
  bool is_text;
  std::int64_t number;
  const char* text;
};

// Message numbers that the program's own code raises by name.
inline constexpr int kSubscriptOutOfRange = 408;
inline constexpr int kUndefinedVariable = 193;
inline constexpr int kFileNotFound = 29;
inline constexpr int kCannotOverwrite = 10;
inline constexpr int kPermissionDenied = 9;
inline constexpr int kNoSuchDevice = 42;
inline constexpr int kFileNameError = 43;
inline constexpr int kOpenFailure = 30;
inline constexpr int kNoWorkingDirectory = 121;
inline constexpr int kEndOfFile = 24;
inline constexpr int kListDirectedSyntax = 59;
inline constexpr int kInputConversion = 64;
inline constexpr int kReadError = 39;
inline constexpr int kWriteError = 38;

// Severity of a message number of the table; severe for an unknown number.
Severity message_severity(int number);

// Formats a printf-style template with %d, %ld and %s conversions into `out`
// without allocating; returns the length written (cut at `capacity`).
std::size_t format_text(char* out, std::size_t capacity, const char* text,
                        std::initializer_list<DiagArg> args);

// Composes the message of `number` with `args` into `out` (prefix, text, one
// "\n", traceback) and returns its length; `out` is cut at `capacity`.
std::size_t compose_diagnostic(char* out, std::size_t capacity, int number,
                               std::initializer_list<DiagArg> args);

// Writes the message to standard error. For a severe message it then runs the
// exit processing and exits with the message number; it returns only for
// messages of severity error.
void issue_diagnostic(int number, std::initializer_list<DiagArg> args = {});

// issue_diagnostic for a message known to be severe.
[[noreturn]] void issue_severe(int number, std::initializer_list<DiagArg> args = {});

// The routine stack: the main program, bvls and qr push their name on entry
// and pop it on exit, so that a diagnostic can name every active routine.
class RoutineScope {
 public:
  explicit RoutineScope(const char* name);
  ~RoutineScope();
  RoutineScope(const RoutineScope&) = delete;
  RoutineScope& operator=(const RoutineScope&) = delete;
};

}  // namespace diagnostics
