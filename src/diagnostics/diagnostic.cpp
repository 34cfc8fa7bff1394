#include "diagnostics/diagnostic.hpp"

#include <unistd.h>

#include <atomic>

#include "diagnostics/signals.hpp"
#include "diagnostics/termination.hpp"

namespace diagnostics {
namespace {

struct Message {
  int number;
  Severity severity;
  const char* text;  // printf-style template: %d, %ld, %s
};

constexpr Message kMessages[] = {
    {408, Severity::severe, "%s"},
    {193, Severity::severe,
     "Run-Time Check Failure. The variable '%s' is being used without being defined"},
    {29, Severity::severe, "file not found, unit %d, file %s"},
    {10, Severity::severe, "cannot overwrite existing file, unit %d, file %s"},
    {9, Severity::severe, "permission to access file denied, unit %d, file %s"},
    {42, Severity::severe, "no such device, unit %d, file %s"},
    {43, Severity::severe, "file name specification error, unit %d, file %s"},
    {30, Severity::severe, "open failure, unit %d, file %s"},
    {121, Severity::severe, "Cannot access current working directory for unit %d, file %s"},
    {24, Severity::severe, "end-of-file during read, unit %d, file %s"},
    {59, Severity::severe, "list-directed I/O syntax error, unit %d, file %s"},
    {64, Severity::severe, "input conversion error, unit %d, file %s"},
    {39, Severity::severe, "error during read, unit %d, file %s"},
    {38, Severity::severe, "error during write, unit %d, file %s"},
    {69, Severity::error, "process interrupted (SIGINT)"},
    {78, Severity::error, "process killed (SIGTERM)"},
    {79, Severity::error, "process quit (SIGQUIT)"},
    {76, Severity::error, "Abort trap signal"},
    {174, Severity::severe, "SIGSEGV, %s"},
    {168, Severity::severe, "Program Exception - illegal instruction"},
    {71, Severity::severe, "integer divide by zero"},
    {70, Severity::severe, "integer overflow"},
    {75, Severity::error, "floating point exception"},
};

const Message* find_message(int number) {
  for (const Message& m : kMessages) {
    if (m.number == number) return &m;
  }
  return nullptr;
}

// The routine stack. Deeper nesting than this never occurs (main, bvls, qr);
// names beyond it are not recorded but still popped correctly.
constexpr int kMaxRoutines = 32;
// A signal handler reads these at any moment: a name is stored before the
// depth counts it. One stack per thread, since fits in memory run bvls in
// several threads at once; the program has one thread, whose stack the
// handler reads.
thread_local constinit const char* g_routines[kMaxRoutines] = {};
thread_local constinit volatile int g_depth = 0;

// Enough for the longest message: a file name of PATH_MAX bytes, the text
// around it and a traceback of kMaxRoutines names.
constexpr std::size_t kMessageBytes = 16 * 1024;

// Appends to a fixed buffer without allocating; text past the end is cut.
class Buffer {
 public:
  Buffer(char* out, std::size_t capacity) : out_(out), capacity_(capacity) {}
  void put(char c) {
    if (size_ < capacity_) out_[size_++] = c;
  }
  void put(const char* s) {
    while (s != nullptr && *s != '\0') put(*s++);
  }
  void put_integer(std::int64_t value) {
    char digits[24];
    int n = 0;
    // Work with the negative value so that the most negative number is safe.
    std::int64_t v = value < 0 ? value : -value;
    do {
      digits[n++] = static_cast<char>('0' - v % 10);
      v /= 10;
    } while (v != 0);
    if (value < 0) put('-');
    while (n > 0) put(digits[--n]);
  }
  std::size_t size() const { return size_; }

 private:
  char* out_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

// Formats a template with %d, %ld and %s conversions; a conversion without an
// argument left is written as it stands.
void format_template(Buffer& buf, const char* text, std::initializer_list<DiagArg> args) {
  const DiagArg* next = args.begin();
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p != '%') {
      buf.put(*p);
      continue;
    }
    const char* conv = p + 1;
    if (*conv == 'l') ++conv;
    if ((*conv == 'd' || *conv == 's') && next != args.end()) {
      if (next->is_text) {
        buf.put(next->text);
      } else {
        buf.put_integer(next->number);
      }
      ++next;
      p = conv;
    } else {
      buf.put(*p);
    }
  }
}

}  // namespace

std::size_t format_text(char* out, std::size_t capacity, const char* text,
                        std::initializer_list<DiagArg> args) {
  Buffer buf(out, capacity);
  format_template(buf, text, args);
  return buf.size();
}

Severity message_severity(int number) {
  const Message* m = find_message(number);
  return m == nullptr ? Severity::severe : m->severity;
}

std::size_t compose_diagnostic(char* out, std::size_t capacity, int number,
                               std::initializer_list<DiagArg> args) {
  Buffer buf(out, capacity);
  const Message* m = find_message(number);
  Severity severity = m == nullptr ? Severity::severe : m->severity;
  buf.put(severity == Severity::severe ? "forrtl: severe (" : "forrtl: error (");
  buf.put_integer(number);
  buf.put("): ");
  if (m != nullptr) {
    format_template(buf, m->text, args);
  } else {
    buf.put("unknown message");
  }
  buf.put('\n');
  // Traceback: one line per active routine, innermost first.
  int shown = g_depth < kMaxRoutines ? g_depth : kMaxRoutines;
  if (shown > 0) {
    buf.put("Traceback (innermost first):\n");
    for (int i = shown - 1; i >= 0; --i) {
      buf.put("  in ");
      buf.put(g_routines[i]);
      buf.put('\n');
    }
  }
  return buf.size();
}

void issue_diagnostic(int number, std::initializer_list<DiagArg> args) {
  bool severe = message_severity(number) == Severity::severe;
  if (severe && ending_captured()) {
    char text[kMessageBytes];
    std::size_t size = compose_diagnostic(text, sizeof text, number, args);
    end_captured(number, text, size);
  }
  // An interrupt must not overtake a run that is already ending.
  if (severe) block_interrupts();
  char text[kMessageBytes];
  std::size_t size = compose_diagnostic(text, sizeof text, number, args);
  // One write, so that the message and its traceback stay together; a
  // message that cannot be written is lost, the exit status is not.
  ssize_t written = ::write(STDERR_FILENO, text, size);
  (void)written;
  if (severe) {
    run_exit_processing();
    ::_exit(number);
  }
}

void issue_severe(int number, std::initializer_list<DiagArg> args) {
  issue_diagnostic(number, args);
  // Only reached if the number was not severe; end the run all the same.
  run_exit_processing();
  ::_exit(number);
}

RoutineScope::RoutineScope(const char* name) {
  if (g_depth < kMaxRoutines) g_routines[g_depth] = name;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_depth = g_depth + 1;
}

RoutineScope::~RoutineScope() { g_depth = g_depth - 1; }

}  // namespace diagnostics
