#include "batch/launcher.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

#include "batch/workers.hpp"
#include "textio/unit.hpp"

namespace batch {
namespace {

// The launcher's process name, as ps shows it.
constexpr const char* kProcessName = "vbsfit-launcher";
// Room for the longest message: a run's ending with its message (at most a
// line of 4096 bytes) and note.
constexpr std::size_t kMaxMessage = 16384;
// Where the launcher keeps the report's lock, which every run inherits: far
// above the few files a run opens (each takes the lowest number free, so its
// numbers stay what they are without the lock), and low enough that the
// descriptor table a fork copies stays small.
constexpr int kLockDescriptor = 255;

enum Kind : char { kRun = 'R', kSignal = 'S', kBegun = 'B', kEnded = 'E', kLock = 'L' };

// A message, written field by field.
class Writer {
 public:
  explicit Writer(Kind kind) : bytes_(1, kind) {}
  template <typename T>
  Writer& put(T value) {
    bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
    return *this;
  }
  Writer& put_text(std::string_view text) {
    text = text.substr(0, kMaxMessage / 4);
    put(static_cast<std::uint32_t>(text.size()));
    bytes_.append(text);
    return *this;
  }
  // Sends it whole; false when the other end is gone.
  bool send(int fd) const {
    ssize_t sent;
    while ((sent = ::send(fd, bytes_.data(), bytes_.size(), MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return sent == static_cast<ssize_t>(bytes_.size());
  }

 private:
  std::string bytes_;
};

// A message received, read field by field; a short one reads as zeros.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  template <typename T>
  T get() {
    T value{};
    if (bytes_.size() >= sizeof value) std::memcpy(&value, bytes_.data(), sizeof value);
    bytes_.remove_prefix(std::min(bytes_.size(), sizeof value));
    return value;
  }
  std::string get_text() {
    const std::size_t size = std::min<std::size_t>(get<std::uint32_t>(), bytes_.size());
    std::string text(bytes_.substr(0, size));
    bytes_.remove_prefix(size);
    return text;
  }

 private:
  std::string_view bytes_;
};

// Receives one message: 1 with it in `message`, 0 when there is none yet
// (without `wait`), -1 when the other end is gone. A descriptor that came
// with it is put in `passed` (else -1 there).
int receive(int fd, std::string& message, bool wait, int& passed) {
  passed = -1;
  message.resize(kMaxMessage);
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  for (;;) {
    iovec data{message.data(), message.size()};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(fd, &header, MSG_CMSG_CLOEXEC | (wait ? 0 : MSG_DONTWAIT));
    if (got > 0) {
      message.resize(static_cast<std::size_t>(got));
      for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len == CMSG_LEN(sizeof(int))) {
          std::memcpy(&passed, CMSG_DATA(c), sizeof passed);
        }
      }
      return 1;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return -1;
  }
}

// Sends the message `kind` with the descriptor `passed`; false when the
// other end is gone.
bool send_descriptor(int fd, Kind kind, int passed) {
  char byte = kind;
  iovec data{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr header{};
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&header);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &passed, sizeof passed);
  ssize_t sent;
  while ((sent = ::sendmsg(fd, &header, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  return sent == 1;
}

// `fd` moved to kLockDescriptor or above, where the limit of open files
// allows; else left where it is.
int moved_high(int fd) {
  int floor = kLockDescriptor;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur <= rlim_t{kLockDescriptor}) {
    floor = static_cast<int>(limit.rlim_cur) - 1;
  }
  if (fd >= floor) return fd;
  const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, floor);
  if (high < 0) return fd;
  ::close(fd);
  return high;
}

Writer ended_message(std::uint64_t id, const RunEnding& e) {
  Writer w(kEnded);
  w.put(id).put<std::uint8_t>(e.started).put<std::int32_t>(e.setup_error);
  w.put<std::uint8_t>(e.succeeded).put<std::uint8_t>(e.exit_status.has_value());
  w.put<std::int32_t>(e.exit_status.value_or(0)).put_text(e.message).put_text(e.note);
  w.put(e.seconds);
  return w;
}

RunEnding ending_of(Reader& r) {
  RunEnding e;
  e.started = r.get<std::uint8_t>() != 0;
  e.setup_error = r.get<std::int32_t>();
  e.succeeded = r.get<std::uint8_t>() != 0;
  const bool has_exit = r.get<std::uint8_t>() != 0;
  const int exit_status = r.get<std::int32_t>();
  if (has_exit) e.exit_status = exit_status;
  e.message = r.get_text();
  e.note = r.get_text();
  e.seconds = r.get<double>();
  return e;
}

// The launcher's side: starts runs, reaps them and reports their endings
// until the batch has gone and no run is left. Never returns.
class Serve {
 public:
  Serve(int fd, std::string workdir, const sigset_t& child_mask)
      : fd_(fd), workdir_(std::move(workdir)), child_mask_(child_mask) {}
  [[noreturn]] void operator()();

 private:
  struct Run {
    std::uint64_t id;
    ChildRun child;
    std::string output;
  };
  void request(const std::string& message, int passed);
  void reap();
  std::vector<int> inherited() const;

  int fd_;
  int child_fd_ = -1;  // SIGCHLD, read as a descriptor
  // The report's lock, held open here and inherited by every run, never
  // unlocked: the kernel lets it go with the last of them.
  int lock_fd_ = -1;
  bool batch_there_ = true;
  std::string workdir_;
  sigset_t child_mask_;
  std::map<pid_t, Run> runs_;
};

std::vector<int> Serve::inherited() const {
  std::vector<int> fds{fd_, child_fd_};
  for (const auto& [pid, run] : runs_) {
    fds.push_back(run.child.setup_fd);
    fds.push_back(run.child.stderr_fd);
  }
  return fds;
}

void Serve::request(const std::string& message, int passed) {
  if (message[0] == kLock && passed >= 0) {
    if (lock_fd_ >= 0) ::close(lock_fd_);
    lock_fd_ = moved_high(passed);
    return;
  }
  if (passed >= 0) ::close(passed);
  Reader r(std::string_view(message).substr(1));
  if (message[0] == kSignal) {
    const int signal = r.get<std::int32_t>();
    for (const auto& [pid, run] : runs_) ::kill(pid, signal);
    return;
  }
  if (message[0] != kRun) return;
  const std::uint64_t id = r.get<std::uint64_t>();
  Configuration config;
  config.species = r.get_text();
  config.scenario = r.get_text();
  config.tag = r.get_text();
  config::SpeciesRow species;  // its key stays empty: `config` names the species
  species.kp = r.get<float>();
  species.multiplier = r.get<float>();
  species.multiplier6 = r.get<float>();
  species.ideal = r.get<char>() != 0;
  std::string output = r.get_text();
  ChildRun child;
  const int error =
      start_run(config, species, output, workdir_, child_mask_, inherited(), child);
  if (error == 0) runs_.emplace(child.pid, Run{id, child, std::move(output)});
  if (!Writer(kBegun).put(id).put<std::int32_t>(error).send(fd_)) batch_there_ = false;
}

void Serve::reap() {
  signalfd_siginfo info;
  while (::read(child_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
  }
  int status = 0;
  pid_t pid;
  while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
    const auto at = runs_.find(pid);
    if (at == runs_.end()) continue;
    Run run = std::move(at->second);
    runs_.erase(at);
    const RunEnding ending = finish_run(run.child, status, run.output);
    if (batch_there_ && !ended_message(run.id, ending).send(fd_)) batch_there_ = false;
  }
}

void Serve::operator()() {
  ::prctl(PR_SET_NAME, kProcessName);
  // The runs' results reach the disk when the batch flushes them, many at
  // once, before it records them (batch/flusher.hpp).
  textio::Unit::sync_before_naming(false);
  sigset_t held;
  sigemptyset(&held);
  for (int signal : {SIGCHLD, SIGINT, SIGTERM, SIGQUIT, SIGHUP}) sigaddset(&held, signal);
  // Stopping signals reach the runs through the batch, which decides; the
  // launcher itself ends only when the batch has gone.
  ::sigprocmask(SIG_BLOCK, &held, nullptr);
  struct sigaction child_default {};
  child_default.sa_handler = SIG_DFL;
  sigemptyset(&child_default.sa_mask);
  ::sigaction(SIGCHLD, &child_default, nullptr);
  sigset_t child_only;
  sigemptyset(&child_only);
  sigaddset(&child_only, SIGCHLD);
  child_fd_ = ::signalfd(-1, &child_only, SFD_NONBLOCK | SFD_CLOEXEC);
  if (child_fd_ < 0) ::_exit(1);
  std::string message;
  int passed = -1;
  while (batch_there_ || !runs_.empty()) {
    pollfd fds[2] = {{child_fd_, POLLIN, 0}, {fd_, POLLIN, 0}};
    if (::poll(fds, batch_there_ ? 2 : 1, -1) < 0 && errno != EINTR) ::_exit(1);
    reap();
    while (batch_there_) {
      const int got = receive(fd_, message, false, passed);
      if (got == 0) break;
      if (got < 0 || message.empty()) {
        batch_there_ = false;
        break;
      }
      request(message, passed);
    }
  }
  ::_exit(0);
}

}  // namespace

int Launcher::open(const std::string& workdir, const sigset_t& child_mask) {
  close();
  workdir_ = workdir;
  child_mask_ = child_mask;
  pid_t pid;
  int fd;
  if (const int error = fork_with_socket(pid, fd); error != 0) return error;
  if (pid == 0) {
    // Nothing of the batch's stays open here but the standard streams: a
    // lock or a pipe held by the launcher would outlive the batch.
    const unsigned keep = static_cast<unsigned>(fd);
    ::close_range(3, keep - 1, 0);
    ::close_range(keep + 1, ~0U, 0);
    Serve(fd, workdir, child_mask)();
  }
  pid_ = pid;
  fd_ = fd;
  // Before any run is asked for: every run holds the lock.
  if (lock_ >= 0 && !send_descriptor(fd_, kLock, lock_)) {
    lost();
    return EPIPE;
  }
  return 0;
}

void Launcher::share_lock(int lock) {
  lock_ = lock;
  if (lock_ >= 0 && is_open() && !send_descriptor(fd_, kLock, lock_)) lost();
}

int Launcher::start(std::uint64_t id, const Configuration& config,
                    const config::SpeciesRow& species, const std::string& output) {
  if (!is_open()) {
    if (const int error = open(workdir_, child_mask_); error != 0) return error;
  }
  Writer request(kRun);
  request.put(id).put_text(config.species).put_text(config.scenario).put_text(config.tag);
  request.put(species.kp).put(species.multiplier).put(species.multiplier6);
  request.put<char>(species.ideal ? 1 : 0).put_text(output);
  if (!request.send(fd_)) {
    lost();
    return EPIPE;
  }
  const int error = read_replies(id, true);
  if (error < 0) return EPIPE;
  if (error == 0) going_.push_back(id);
  return error;
}

int Launcher::read_replies(std::uint64_t id, bool wait) {
  std::string message;
  for (;;) {
    int passed = -1;
    const int got = receive(fd_, message, wait, passed);
    if (passed >= 0) ::close(passed);  // the launcher sends none
    if (got == 0) return 0;
    if (got < 0 || message.empty()) {
      lost();
      return -1;
    }
    Reader r(std::string_view(message).substr(1));
    const std::uint64_t from = r.get<std::uint64_t>();
    if (message[0] == kBegun && wait && from == id) return r.get<std::int32_t>();
    if (message[0] != kEnded) continue;
    ended_.push_back({from, ending_of(r)});
    going_.erase(std::remove(going_.begin(), going_.end(), from), going_.end());
  }
}

void Launcher::signal(int signal) {
  if (is_open() && !Writer(kSignal).put<std::int32_t>(signal).send(fd_)) lost();
}

std::vector<Launcher::Ended> Launcher::collect() {
  if (is_open()) read_replies(0, false);
  return std::exchange(ended_, {});
}

void Launcher::lost() {
  const int status = close();
  for (std::uint64_t id : going_) {
    RunEnding ending;
    ending.message = "vbsfit-batch: lost track of the run: the process that started it " +
                     ending_text(status);
    ended_.push_back({id, ending});
  }
  going_.clear();
}

int Launcher::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  int status = 0;
  while (pid_ > 0 && ::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return status;
}

}  // namespace batch
