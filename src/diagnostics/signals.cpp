#include "diagnostics/signals.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include "diagnostics/diagnostic.hpp"
#include "diagnostics/termination.hpp"

namespace diagnostics {
namespace {

constexpr int kInterrupted = 69;        // SIGINT
constexpr int kTerminated = 78;         // SIGTERM
constexpr int kQuit = 79;               // SIGQUIT
constexpr int kAbortTrap = 76;          // SIGABRT
constexpr int kSegmentationFault = 174; // SIGSEGV
constexpr int kIllegalInstruction = 168;
constexpr int kIntegerDivideByZero = 71;
constexpr int kIntegerOverflow = 70;
constexpr int kFloatingPointException = 75;

// Exit status after SIGINT or SIGTERM.
constexpr int kInterruptedStatus = 1;

// Room for the handler and the diagnostic it composes (a buffer of a few
// kilobytes), with plenty to spare for sanitizer instrumentation.
constexpr std::size_t kAlternateStackBytes = 256 * 1024;

// Set once a signal is being handled. From then on the process never returns
// to the program: the handler ends it, and further signals are ignored.
volatile sig_atomic_t g_handling = 0;

sigset_t interrupt_signals() noexcept {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGQUIT);
  return set;
}

// Keeps AddressSanitizer's runtime out of a signal's ending. Before every
// call that does not return it looks up the thread's stack, and that lookup
// allocates: in a handler that interrupted its allocator, which holds its
// lock, the run would wait forever instead of ending. Nothing here needs the
// checks; outside that build the attribute does nothing.
#define VBSFIT_SIGNAL_ENDING __attribute__((no_sanitize_address))

// The error-severity endings of SIGQUIT, SIGABRT and an outside SIGFPE: the
// process ends killed by SIGABRT, with its files complete.
[[noreturn]] VBSFIT_SIGNAL_ENDING void exit_processing_then_abort() noexcept {
  run_exit_processing();
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  ::sigaction(SIGABRT, &default_action, nullptr);
  sigset_t abort_signal;
  sigemptyset(&abort_signal);
  sigaddset(&abort_signal, SIGABRT);
  ::sigprocmask(SIG_UNBLOCK, &abort_signal, nullptr);
  std::abort();
}

// The message of a SIGFPE: the processor says why in si_code (positive codes
// come only from the kernel); anything sent by kill or sigqueue is "outside".
int floating_point_message(const siginfo_t* info) noexcept {
  if (info != nullptr && info->si_code > 0) {
    if (info->si_code == FPE_INTDIV) return kIntegerDivideByZero;
    if (info->si_code == FPE_INTOVF) return kIntegerOverflow;
  }
  return kFloatingPointException;
}

VBSFIT_SIGNAL_ENDING void handle_signal(int signal, siginfo_t* info, void*) {
  if (g_handling != 0) {
    // A fault inside the handling cannot be reported again; end quietly.
    if (signal == SIGSEGV) ::_exit(kSegmentationFault);
    return;
  }
  g_handling = 1;
  switch (signal) {
    case SIGSEGV:
      issue_severe(kSegmentationFault, {"segmentation fault occurred"});
    case SIGILL:
      issue_severe(kIllegalInstruction);
    case SIGFPE: {
      int number = floating_point_message(info);
      issue_diagnostic(number);  // returns only for the outside signal
      exit_processing_then_abort();
    }
    case SIGINT:
    case SIGTERM:
      issue_diagnostic(signal == SIGINT ? kInterrupted : kTerminated);
      run_exit_processing();
      ::_exit(kInterruptedStatus);
    case SIGQUIT:
    case SIGABRT:
      issue_diagnostic(signal == SIGQUIT ? kQuit : kAbortTrap);
      exit_processing_then_abort();
    default:
      return;
  }
}

void install_alternate_stack() noexcept {
  // Mapped rather than static: a sanitizer runtime that set up its own
  // alternate stack unmaps whatever is installed when its thread ends.
  void* stack = ::mmap(nullptr, kAlternateStackBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (stack == MAP_FAILED) return;  // handlers still work, only not on overflow
  stack_t alternate{};
  alternate.ss_sp = stack;
  alternate.ss_size = kAlternateStackBytes;
  alternate.ss_flags = 0;
  if (::sigaltstack(&alternate, nullptr) != 0) ::munmap(stack, kAlternateStackBytes);
}

}  // namespace

void install_signal_handlers() {
  install_alternate_stack();
  struct sigaction action {};
  action.sa_sigaction = handle_signal;
  sigemptyset(&action.sa_mask);
  // SA_NODEFER: a second signal of the same kind reaches the re-entry guard
  // instead of waiting blocked (a blocked SIGSEGV fault would kill outright).
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER | SA_RESTART;
  for (int signal : {SIGFPE, SIGILL, SIGSEGV, SIGABRT, SIGTERM}) {
    ::sigaction(signal, &action, nullptr);
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int signal : {SIGPIPE, SIGXFSZ}) ::sigaction(signal, &ignore, nullptr);
  // A run started in the background with these ignored keeps them ignored.
  for (int signal : {SIGQUIT, SIGINT}) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

InterruptsDeferred::InterruptsDeferred() noexcept {
  sigset_t interrupts = interrupt_signals();
  ::sigprocmask(SIG_BLOCK, &interrupts, &saved_);
}

InterruptsDeferred::~InterruptsDeferred() { ::sigprocmask(SIG_SETMASK, &saved_, nullptr); }

void block_interrupts() noexcept {
  sigset_t interrupts = interrupt_signals();
  ::sigprocmask(SIG_BLOCK, &interrupts, nullptr);
}

void hold_endings_after_success() noexcept {
  sigset_t endings = interrupt_signals();
  sigaddset(&endings, SIGHUP);
  ::sigprocmask(SIG_BLOCK, &endings, nullptr);
}

}  // namespace diagnostics
