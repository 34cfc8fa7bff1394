// The numbered messages, the subscript and definition checks, and the plain
// stop: exact message lines, exit statuses, and files complete afterwards.
#include "diagnostics/diagnostic.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "run_program.hpp"
#include "diagnostics/checked.hpp"
#include "diagnostics/termination.hpp"
#include "textio/unit.hpp"

namespace {

using diagnostics::Severity;
using testsupport::run_in_child;

std::string compose(int number, std::initializer_list<diagnostics::DiagArg> args) {
  char text[4096];
  std::size_t n = diagnostics::compose_diagnostic(text, sizeof text, number, args);
  return std::string(text, n);
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// Every message the program can show, with the arguments it is raised with.
struct MessageRow {
  int number;
  Severity severity;
  enum { none, unit_and_file, text } args;
  const char* expected;
};

const MessageRow kMessageTable[] = {
    {408, Severity::severe, MessageRow::text, "forrtl: severe (408): ARG"},
    {193, Severity::severe, MessageRow::text,
     "forrtl: severe (193): Run-Time Check Failure. The variable 'ARG' is being used without "
     "being defined"},
    {29, Severity::severe, MessageRow::unit_and_file,
     "forrtl: severe (29): file not found, unit 20, file /w/x.dat"},
    {10, Severity::severe, MessageRow::unit_and_file,
     "forrtl: severe (10): cannot overwrite existing file, unit 20, file /w/x.dat"},
    {9, Severity::severe, MessageRow::unit_and_file,
     "forrtl: severe (9): permission to access file denied, unit 20, file /w/x.dat"},
    {42, Severity::severe, MessageRow::unit_and_file,
     "forrtl: severe (42): no such device, unit 20, file /w/x.dat"},
    {43, Severity::severe, MessageRow::unit_and_file,
     "forrtl: severe (43): file name specification error, unit 20, file /w/x.dat"},
    {30, Severity::severe, MessageRow::unit_and_file,
     "forrtl: severe (30): open failure, unit 20, file /w/x.dat"},
    {121, Severity::severe, MessageRow::unit_and_file,
     "forrtl: severe (121): Cannot access current working directory for unit 20, file /w/x.dat"},
    {24, Severity::severe, MessageRow::unit_and_file,
     "forrtl: severe (24): end-of-file during read, unit 20, file /w/x.dat"},
    {59, Severity::severe, MessageRow::unit_and_file,
     "forrtl: severe (59): list-directed I/O syntax error, unit 20, file /w/x.dat"},
    {64, Severity::severe, MessageRow::unit_and_file,
     "forrtl: severe (64): input conversion error, unit 20, file /w/x.dat"},
    {39, Severity::severe, MessageRow::unit_and_file,
     "forrtl: severe (39): error during read, unit 20, file /w/x.dat"},
    {38, Severity::severe, MessageRow::unit_and_file,
     "forrtl: severe (38): error during write, unit 20, file /w/x.dat"},
    {69, Severity::error, MessageRow::none, "forrtl: error (69): process interrupted (SIGINT)"},
    {78, Severity::error, MessageRow::none, "forrtl: error (78): process killed (SIGTERM)"},
    {79, Severity::error, MessageRow::none, "forrtl: error (79): process quit (SIGQUIT)"},
    {76, Severity::error, MessageRow::none, "forrtl: error (76): Abort trap signal"},
    {174, Severity::severe, MessageRow::text, "forrtl: severe (174): SIGSEGV, ARG"},
    {168, Severity::severe, MessageRow::none,
     "forrtl: severe (168): Program Exception - illegal instruction"},
    {71, Severity::severe, MessageRow::none, "forrtl: severe (71): integer divide by zero"},
    {70, Severity::severe, MessageRow::none, "forrtl: severe (70): integer overflow"},
    {75, Severity::error, MessageRow::none, "forrtl: error (75): floating point exception"},
};

TEST(MessageTable, EveryMessageHasItsExactTextAndSeverity) {
  for (const MessageRow& row : kMessageTable) {
    SCOPED_TRACE(row.number);
    std::string message;
    switch (row.args) {
      case MessageRow::none: message = compose(row.number, {}); break;
      case MessageRow::unit_and_file: message = compose(row.number, {20, "/w/x.dat"}); break;
      case MessageRow::text: message = compose(row.number, {"ARG"}); break;
    }
    EXPECT_EQ(std::string(row.expected) + "\n", message);
    EXPECT_EQ(row.severity, diagnostics::message_severity(row.number));
  }
}

TEST(MessageTable, TemplatesTakeSixtyFourBitIntegersAndKeepLiteralPercents) {
  char text[128];
  std::size_t n = diagnostics::format_text(text, sizeof text, "%d|%ld|%s|%x|100%",
                                           {-7, static_cast<long long>(INT64_MIN), "s"});
  EXPECT_EQ("-7|-9223372036854775808|s|%x|100%", std::string(text, n));
  // Cut at the capacity, never past it.
  n = diagnostics::format_text(text, 5, "abc%d", {123456});
  EXPECT_EQ("abc12", std::string(text, n));
}

TEST(Traceback, FollowsTheMessageInnermostRoutineFirst) {
  std::string message;
  {
    diagnostics::RoutineScope main_program("vbsfit");
    diagnostics::RoutineScope solver("bvls");
    diagnostics::RoutineScope inner("qr");
    message = compose(29, {20, "/w/x.dat"});
  }
  std::string line = "forrtl: severe (29): file not found, unit 20, file /w/x.dat\n";
  ASSERT_EQ(line, message.substr(0, line.size()));
  std::size_t qr = message.find("qr\n");
  std::size_t bvls = message.find("bvls\n");
  std::size_t main_program = message.find("vbsfit\n");
  ASSERT_NE(std::string::npos, qr);
  EXPECT_LT(qr, bvls);
  EXPECT_LT(bvls, main_program);
  EXPECT_NE(std::string::npos, main_program);
  // Popped routines are gone from later messages.
  EXPECT_EQ(line, compose(29, {20, "/w/x.dat"}));
}

// The ending of a severe diagnostic: status, and the message as the first
// thing on standard error, in one piece with the traceback.
TEST(IssueDiagnostic, SevereEndsWithTheNumberModulo256) {
  auto run = run_in_child([] {
    diagnostics::RoutineScope main_program("vbsfit");
    diagnostics::issue_diagnostic(408, {"text\n"});
  });
  EXPECT_EQ(152, run.exit_status);
  EXPECT_EQ(0, run.err.find("forrtl: severe (408): text\n\n"));
  EXPECT_NE(std::string::npos, run.err.find("vbsfit"));
  EXPECT_EQ("", run.out);
}

TEST(IssueDiagnostic, ErrorSeverityReturnsToTheCaller) {
  auto run = run_in_child([] { diagnostics::issue_diagnostic(69); });
  EXPECT_EQ(testsupport::kBodyReturned, run.exit_status);
  EXPECT_EQ("forrtl: error (69): process interrupted (SIGINT)\n", run.err);
}

// One subscripted reference that must end the run, and the message line and
// empty line it must show.
struct SubscriptRow {
  const char* what;
  void (*reference)();
  const char* expected;
};

double g_storage[1440 * 7];

const SubscriptRow kSubscriptTable[] = {
    {"vector above", [] { diagnostics::Vector<double>("B", g_storage, 1440)(1441) = 1.0; },
     "fort: (2): Subscript #1 of the array B has value 1441 which is greater than the upper "
     "bound of 1440\n"},
    {"vector below", [] { diagnostics::Vector<double>("X", g_storage, 7)(0) = 1.0; },
     "fort: (3): Subscript #1 of the array X has value 0 which is less than the lower bound of "
     "1\n"},
    {"matrix second below",
     [] { diagnostics::Matrix<double>("A", g_storage, 1440, 7)(1, 0) = 1.0; },
     "fort: (3): Subscript #2 of the array A has value 0 which is less than the lower bound of "
     "1\n"},
    {"matrix first above",
     [] { diagnostics::Matrix<double>("A", g_storage, 1440, 7)(1441, 7) = 1.0; },
     "fort: (2): Subscript #1 of the array A has value 1441 which is greater than the upper "
     "bound of 1440\n"},
    {"matrix both out: only the last is reported",
     [] { diagnostics::Matrix<double>("A", g_storage, 1440, 7)(1441, 8) = 1.0; },
     "fort: (2): Subscript #2 of the array A has value 8 which is greater than the upper bound "
     "of 7\n"},
    {"matrix both below",
     [] { diagnostics::Matrix<double>("A", g_storage, 1440, 7)(-5, 0) = 1.0; },
     "fort: (3): Subscript #2 of the array A has value 0 which is less than the lower bound of "
     "1\n"},
    {"fixed vector above",
     [] {
       static diagnostics::FixedVector<double, 1441> TIME("TIME");
       TIME(1442) = 1.0;
     },
     "fort: (2): Subscript #1 of the array TIME has value 1442 which is greater than the upper "
     "bound of 1441\n"},
    {"fixed matrix first below",
     [] {
       static diagnostics::FixedMatrix<double, 6, 1441> YKELPO("YKELPO");
       YKELPO(0, 1441) = 1.0;
     },
     "fort: (3): Subscript #1 of the array YKELPO has value 0 which is less than the lower bound "
     "of 1\n"},
    {"fixed matrix both above",
     [] {
       static diagnostics::FixedMatrix<double, 6, 1441> YKELPO("YKELPO");
       YKELPO(7, 1442) = 1.0;
     },
     "fort: (2): Subscript #2 of the array YKELPO has value 1442 which is greater than the upper "
     "bound of 1441\n"},
    {"a loop whose range runs past the end, through unchecked_if",
     [] {
       const diagnostics::Vector<double> b("B", g_storage, 1440);
       diagnostics::unchecked_if(
           b.contains(1, 1441),
           [](const auto& v) {
             for (int i = 1; i <= 1441; ++i) v(i) = 1.0;
           },
           b);
     },
     "fort: (2): Subscript #1 of the array B has value 1441 which is greater than the upper "
     "bound of 1440\n"},
    {"a loop down a column outside the matrix, through unchecked_if",
     [] {
       const diagnostics::Matrix<double> a("A", g_storage, 1440, 7);
       diagnostics::unchecked_if(
           a.contains(0, 1440, 8, 8),
           [](const auto& m) {
             for (int i = 0; i <= 1440; ++i) m(i, 8) = 1.0;
           },
           a);
     },
     "fort: (2): Subscript #2 of the array A has value 8 which is greater than the upper bound "
     "of 7\n"},
    {"a 64-bit subscript",
     [] { diagnostics::Vector<double>("B", g_storage, 1440)(INT64_C(5000000000)) = 1.0; },
     "fort: (2): Subscript #1 of the array B has value 5000000000 which is greater than the "
     "upper bound of 1440\n"},
};

TEST(SubscriptCheck, ViolationShowsTheExactLineAnEmptyLineAndEndsWith152) {
  for (const SubscriptRow& row : kSubscriptTable) {
    SCOPED_TRACE(row.what);
    auto run = run_in_child([&row] {
      diagnostics::RoutineScope inner("qr");
      row.reference();
    });
    EXPECT_EQ(152, run.exit_status);
    std::string head = std::string("forrtl: severe (408): ") + row.expected + "\n";
    EXPECT_EQ(head, run.err.substr(0, head.size()));
    EXPECT_NE(std::string::npos, run.err.find("qr", head.size())) << run.err;
  }
}

TEST(SubscriptCheck, BoundsAreInclusiveAndStorageIsColumnByColumn) {
  double data[6] = {};
  diagnostics::Matrix<double> a("A", data, 2, 3);
  a(1, 1) = 11;
  a(2, 1) = 21;
  a(1, 3) = 13;
  a(2, 3) = 23;
  EXPECT_EQ(11, data[0]);
  EXPECT_EQ(21, data[1]);
  EXPECT_EQ(13, data[4]);
  EXPECT_EQ(23, data[5]);

  diagnostics::FixedMatrix<double, 2, 3> F("F");
  F(2, 3) = 5;
  EXPECT_EQ(5, F.data()[5]);
  EXPECT_EQ(5, F.view()(2, 3));
  EXPECT_EQ(5, diagnostics::Vector<double>("V", F.data(), 6)(6));
}

// contains() vouches for a range exactly when no subscript in it can fail; an
// empty range touches nothing and is always inside.
TEST(SubscriptCheck, ContainsIsTrueExactlyWhenEveryElementIsInside) {
  double data[6] = {};
  const diagnostics::Vector<double> v("V", data, 6);
  const diagnostics::Matrix<double> m("M", data, 2, 3);
  struct VectorRow {
    std::int64_t first, last;
    bool inside;
  };
  for (const VectorRow& r : {VectorRow{1, 6, true}, VectorRow{1, 7, false}, VectorRow{0, 6, false},
                             VectorRow{3, 3, true}, VectorRow{7, 6, true}, VectorRow{0, -1, true},
                             VectorRow{7, 7, false}}) {
    EXPECT_EQ(r.inside, v.contains(r.first, r.last)) << r.first << " ... " << r.last;
  }
  struct MatrixRow {
    std::int64_t i0, i1, j0, j1;
    bool inside;
  };
  for (const MatrixRow& r :
       {MatrixRow{1, 2, 1, 3, true}, MatrixRow{1, 3, 1, 3, false}, MatrixRow{1, 2, 1, 4, false},
        MatrixRow{0, 2, 1, 3, false}, MatrixRow{1, 2, 0, 3, false}, MatrixRow{1, 0, 4, 4, true},
        MatrixRow{1, 2, 4, 3, true}, MatrixRow{2, 2, 3, 3, true}}) {
    EXPECT_EQ(r.inside, m.contains(r.i0, r.i1, r.j0, r.j1))
        << r.i0 << " ... " << r.i1 << ", " << r.j0 << " ... " << r.j1;
  }
  // Inside, the body runs on the same storage without checks.
  diagnostics::unchecked_if(
      m.contains(1, 2, 3, 3), [](const auto& a) { a(2, 3) = 23; }, m);
  EXPECT_EQ(23, data[5]);
}

TEST(DefinedCheck, UseBeforeAssignmentEndsWith193AndAssignmentDefines) {
  diagnostics::CheckedScalar<std::int32_t> IACT("boundedls_mp_bvls_$IACT");
  auto run = run_in_child([&IACT] { (void)IACT.get(); });
  EXPECT_EQ(193, run.exit_status);
  EXPECT_EQ(
      "forrtl: severe (193): Run-Time Check Failure. The variable 'boundedls_mp_bvls_$IACT' is "
      "being used without being defined",
      first_line(run.err));

  IACT = 4;
  EXPECT_EQ(4, IACT.get());
  run = run_in_child([&IACT] {
    IACT.clear();  // as on every entry to the solver
    (void)IACT.get();
  });
  EXPECT_EQ(193, run.exit_status);
}

// Every ending closes the open units: records written but still buffered
// reach the file.
TEST(ExitProcessing, StopIsSilentEndsWithZeroAndKeepsEveryRecord) {
  testsupport::ScratchDir dir;
  std::string file = (dir.path() / "fit").string();
  testsupport::write_file(file, "");
  auto run = run_in_child([&file] {
    textio::Unit& unit = textio::open_unit(11, file, textio::OpenStatus::old_file);
    unit.write_record(" first");
    unit.write_record(" second");
    diagnostics::stop_run();
  });
  EXPECT_EQ(0, run.exit_status);
  EXPECT_EQ("", run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(" first\n second\n", testsupport::read_file(file));
}

TEST(ExitProcessing, SevereDiagnosticKeepsEveryRecordOfEveryOpenUnit) {
  testsupport::ScratchDir dir;
  std::string first = (dir.path() / "a").string();
  std::string second = (dir.path() / "b").string();
  testsupport::write_file(first, "");
  testsupport::write_file(second, "");
  auto run = run_in_child([&] {
    textio::open_unit(11, first, textio::OpenStatus::old_file).write_record("a1");
    textio::open_unit(12, second, textio::OpenStatus::old_file).write_record("b1");
    textio::standard_output().write_record(" on stdout");
    diagnostics::Vector<double>("B", g_storage, 1440)(1441);
  });
  EXPECT_EQ(152, run.exit_status);
  EXPECT_EQ(" on stdout\n", run.out);
  EXPECT_EQ("a1\n", testsupport::read_file(first));
  EXPECT_EQ("b1\n", testsupport::read_file(second));
}

// A captured ending comes back instead of the process ending: status, and
// the text that would have been written (first line), for each way to end.
struct CaptureRow {
  const char* what;
  void (*end)();
  int status;
  const char* first_line;
};

const CaptureRow kCaptureTable[] = {
    {"severe diagnostic", [] { diagnostics::issue_diagnostic(24, {20, "/x/p"}); }, 24,
     "forrtl: severe (24): end-of-file during read, unit 20, file /x/p"},
    {"plain stop", [] { diagnostics::stop_run(1); }, 1, ""},
    {"stop with a reason", [] { diagnostics::stop_run(1, " BVLS fails to converge! "); }, 1,
     " BVLS fails to converge! "},
    {"stop with an error", [] { diagnostics::stop_with_error(1, "vbsfit: bad\n", 12); }, 1,
     "vbsfit: bad"},
};

TEST(CaptureEnding, ReturnsEachEndingInsteadOfAnExit) {
  for (const CaptureRow& row : kCaptureTable) {
    SCOPED_TRACE(row.what);
    const auto ended = diagnostics::capture_ending(row.end);
    ASSERT_TRUE(ended.has_value());
    EXPECT_EQ(row.status, ended->status);
    EXPECT_EQ(row.first_line, first_line(ended->text));
  }
}

TEST(CaptureEnding, ReturnsNothingWhenTheBodyReturns) {
  int runs = 0;
  EXPECT_FALSE(diagnostics::capture_ending([&] { ++runs; }).has_value());
  EXPECT_EQ(1, runs);
}

// The innermost capture catches; once it is left, the one around it catches
// again, and after the last the process ends as the program's does.
TEST(CaptureEndingDeathTest, TheInnermostCatchesAndLeavingRestoresTheOneBefore) {
  const auto outer = diagnostics::capture_ending([] {
    const auto inner = diagnostics::capture_ending([] { diagnostics::stop_run(3); });
    EXPECT_EQ(3, inner ? inner->status : -1);
    diagnostics::stop_run(4);
  });
  EXPECT_EQ(4, outer ? outer->status : -1);
  EXPECT_EXIT(diagnostics::stop_run(5), ::testing::ExitedWithCode(5), "");
}

// Another exception leaves through the capture, which is gone afterwards.
TEST(CaptureEndingDeathTest, OtherExceptionsPassAndLeaveNoCaptureBehind) {
  struct Other {};
  EXPECT_THROW(diagnostics::capture_ending([] { throw Other{}; }), Other);
  EXPECT_EXIT(diagnostics::stop_run(6), ::testing::ExitedWithCode(6), "");
}

// Each thread has its own capture: one here is not another thread's, whose
// stop ends the process (checked in a child).
TEST(CaptureEndingDeathTest, IsPerThread) {
  EXPECT_EXIT(
      {
        diagnostics::capture_ending([] {
          std::thread other([] { diagnostics::stop_run(7); });
          other.join();
        });
      },
      ::testing::ExitedWithCode(7), "");
}

}  // namespace
