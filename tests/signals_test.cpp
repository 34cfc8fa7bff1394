// Signals: each fatal signal ends the run with its message, its ending and
// every open file complete on disk.
#include "diagnostics/signals.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "run_program.hpp"
#include "diagnostics/diagnostic.hpp"
#include "diagnostics/termination.hpp"
#include "textio/unit.hpp"

namespace {

using testsupport::ProgramRun;
using testsupport::run_in_child;
using testsupport::ScratchDir;

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// Sends `signal` to this process with the cause `code` in its information, as
// the kernel would for a fault (a process may do this to itself only).
void send_with_code(int signal, int code) {
  siginfo_t info{};
  info.si_signo = signal;
  info.si_code = code;
  ::syscall(SYS_rt_tgsigqueueinfo, ::getpid(), ::gettid(), signal, &info);
}

// A run that has written three records to an existing file and to a new
// one, not yet out of the units' buffers, when `deliver` hits it.
template <typename Deliver>
ProgramRun run_hit_while_writing(const std::string& file, const std::string& new_file,
                                 Deliver deliver) {
  testsupport::write_file(file, "");
  return run_in_child([&] {
    diagnostics::install_signal_handlers();
    diagnostics::RoutineScope main_program("vbsfit");
    textio::Unit& unit = textio::open_unit(11, file, textio::OpenStatus::old_file);
    textio::Unit& results = textio::open_unit(12, new_file, textio::OpenStatus::new_file);
    for (const char* record : {" one", " two", " three"}) {
      unit.write_record(record);
      results.write_record(record);
    }
    deliver();
  });
}

// The entries of a directory, by name.
std::vector<std::string> entries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

constexpr const char* kThreeRecords = " one\n two\n three\n";

enum class Ending { exit_status, killed_by_abort };

struct SignalRow {
  const char* what;
  void (*deliver)();
  const char* message;
  Ending ending;
  int status;
};

const SignalRow kSignalTable[] = {
    {"SIGINT", [] { ::raise(SIGINT); }, "forrtl: error (69): process interrupted (SIGINT)",
     Ending::exit_status, 1},
    {"SIGTERM", [] { ::raise(SIGTERM); }, "forrtl: error (78): process killed (SIGTERM)",
     Ending::exit_status, 1},
    {"SIGQUIT", [] { ::raise(SIGQUIT); }, "forrtl: error (79): process quit (SIGQUIT)",
     Ending::killed_by_abort, 0},
    {"SIGABRT", [] { ::raise(SIGABRT); }, "forrtl: error (76): Abort trap signal",
     Ending::killed_by_abort, 0},
    {"abort()", [] { std::abort(); }, "forrtl: error (76): Abort trap signal",
     Ending::killed_by_abort, 0},
    {"SIGSEGV", [] { ::raise(SIGSEGV); },
     "forrtl: severe (174): SIGSEGV, segmentation fault occurred", Ending::exit_status, 174},
    {"SIGILL", [] { ::raise(SIGILL); }, "forrtl: severe (168): Program Exception - illegal instruction",
     Ending::exit_status, 168},
    {"SIGFPE from outside", [] { ::raise(SIGFPE); }, "forrtl: error (75): floating point exception",
     Ending::killed_by_abort, 0},
    {"SIGFPE integer division", [] { send_with_code(SIGFPE, FPE_INTDIV); },
     "forrtl: severe (71): integer divide by zero", Ending::exit_status, 71},
    {"SIGFPE integer overflow", [] { send_with_code(SIGFPE, FPE_INTOVF); },
     "forrtl: severe (70): integer overflow", Ending::exit_status, 70},
    {"SIGFPE of another cause", [] { send_with_code(SIGFPE, FPE_FLTINV); },
     "forrtl: error (75): floating point exception", Ending::killed_by_abort, 0},
};

// An existing file keeps its records; a new one, never closed, is not left.
TEST(SignalHandlers, EachSignalShowsItsMessageEndsAsItMustAndKeepsTheFile) {
  for (const SignalRow& row : kSignalTable) {
    SCOPED_TRACE(row.what);
    ScratchDir dir;
    std::string file = (dir.path() / "log").string();
    ProgramRun run = run_hit_while_writing(file, (dir.path() / "fit").string(), row.deliver);
    EXPECT_EQ(row.message, first_line(run.err));
    EXPECT_NE(std::string::npos, run.err.find("vbsfit")) << "no traceback: " << run.err;
    if (row.ending == Ending::exit_status) {
      EXPECT_EQ(row.status, run.exit_status);
    } else {
      EXPECT_EQ(SIGABRT, run.signal);
    }
    EXPECT_EQ(kThreeRecords, testsupport::read_file(file));
    EXPECT_EQ(std::vector<std::string>{"log"}, entries(dir.path()));
    EXPECT_EQ("", run.out);
  }
}

// Genuine faults, not raised signals.
TEST(SignalHandlers, GenuineIntegerDivisionByZeroIsReportedByCause) {
  if (VBSFIT_SANITIZED) GTEST_SKIP() << "the sanitizer reports the division before it happens";
  ProgramRun run = run_in_child([] {
    diagnostics::install_signal_handlers();
    volatile int zero = 0;
    volatile int quotient = 7 / zero;
    (void)quotient;
  });
  EXPECT_EQ(71, run.exit_status);
  EXPECT_EQ("forrtl: severe (71): integer divide by zero", first_line(run.err));
}

TEST(SignalHandlers, GenuineAccessViolationIsASegmentationFault) {
  void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, page);
  ProgramRun run = run_in_child([page] {
    diagnostics::install_signal_handlers();
    *static_cast<volatile int*>(page) = 1;
  });
  ::munmap(page, 4096);
  EXPECT_EQ(174, run.exit_status);
  EXPECT_EQ("forrtl: severe (174): SIGSEGV, segmentation fault occurred", first_line(run.err));
}

// Recurses until the stack is gone; the frame cannot be optimised away.
volatile int g_never = -1;
[[gnu::noinline]] int exhaust_stack(int depth) {
  if (depth == g_never) return 0;
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  return exhaust_stack(depth + 1) + frame[0];
}

TEST(SignalHandlers, StackOverflowIsReportedFromTheHandlersOwnStack) {
  ProgramRun run = run_in_child([] {
    diagnostics::install_signal_handlers();
    exhaust_stack(0);
  });
  EXPECT_EQ(174, run.exit_status);
  EXPECT_EQ("forrtl: severe (174): SIGSEGV, segmentation fault occurred", first_line(run.err));
}

// A unit whose closing at exit sends a signal: a second signal while the
// first is handled.
class SignalAtClose : public diagnostics::ExitClosable {
 public:
  explicit SignalAtClose(int signal) : signal_(signal) { diagnostics::register_open_unit(this); }
  void close_at_exit() noexcept override {
    if (signal_ != 0) ::raise(signal_);
    signal_ = 0;
  }

 private:
  int signal_;
};

TEST(SignalHandlers, SecondSegmentationFaultEndsAtOnceWithoutMessage) {
  ProgramRun run = run_in_child([] {
    diagnostics::install_signal_handlers();
    static SignalAtClose fault(SIGSEGV);
    ::raise(SIGINT);
  });
  EXPECT_EQ(174, run.exit_status);
  EXPECT_EQ("forrtl: error (69): process interrupted (SIGINT)\n", run.err);
}

TEST(SignalHandlers, OtherSignalsWhileOneIsHandledAreIgnored) {
  for (int second : {SIGFPE, SIGILL, SIGTERM, SIGABRT}) {
    SCOPED_TRACE(second);
    ProgramRun run = run_in_child([second] {
      diagnostics::install_signal_handlers();
      static SignalAtClose other(second);
      ::raise(SIGINT);
    });
    EXPECT_EQ(1, run.exit_status);
    EXPECT_EQ("forrtl: error (69): process interrupted (SIGINT)\n", run.err);
  }
}

TEST(SignalHandlers, InheritedIgnoredInterruptsStayIgnored) {
  for (int signal : {SIGINT, SIGQUIT}) {
    SCOPED_TRACE(signal);
    ProgramRun run = run_in_child([signal] {
      ::signal(signal, SIG_IGN);
      diagnostics::install_signal_handlers();
      ::raise(signal);
      struct sigaction now {};
      ::sigaction(signal, nullptr, &now);
      if (now.sa_handler != SIG_IGN) ::_exit(3);
    });
    EXPECT_EQ(testsupport::kBodyReturned, run.exit_status);
    EXPECT_EQ("", run.err);
  }
}

// A SIGTERM from outside lands wherever the run happens to be while writing
// records: the file holds whole records, in order, none twice.
TEST(SignalHandlers, OutsideSignalWhileWritingLeavesWholeRecordsInOrder) {
  ScratchDir dir;
  std::string file = (dir.path() / "fit").string();
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  testsupport::write_file(file, "");
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    diagnostics::install_signal_handlers();
    textio::Unit& unit = textio::open_unit(11, file, textio::OpenStatus::old_file);
    for (int i = 1; i <= 1000000; ++i) {
      unit.write_record(" record " + std::to_string(i));
      if (i == 100000) (void)!::write(ready[1], "r", 1);
    }
    unit.flush();
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte;
  ASSERT_EQ(1, ::read(ready[0], &byte, 1));
  ::usleep(20000);
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(ready[0]);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(1, WEXITSTATUS(status));

  std::string text = testsupport::read_file(file);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ('\n', text.back());
  int expected = 1;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    ASSERT_EQ(" record " + std::to_string(expected), text.substr(at, end - at));
    ++expected;
    at = end + 1;
  }
  EXPECT_GT(expected, 100000);
}

}  // namespace
