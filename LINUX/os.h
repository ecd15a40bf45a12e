// The operating-system boundary: owned descriptors, child processes, pauses.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

namespace quillet {

// Owns one file descriptor and closes it when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// An output stream buffer over a file descriptor the buffer does not own. It
// remembers the errno of the first write that failed, for the report at the end
// of a run.
class FdStreamBuf : public std::streambuf {
 public:
  explicit FdStreamBuf(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
  FdStreamBuf(const FdStreamBuf&) = delete;
  FdStreamBuf& operator=(const FdStreamBuf&) = delete;
  ~FdStreamBuf() override { write_out(); }

  int error() const { return error_; }

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  bool write_out();

  int fd_;
  int error_ = 0;
  char buffer_[4096];
};

// File actions of a posix_spawn call, released on every way out. Each action
// that cannot be recorded raises Failure for `step`.
class SpawnFileActions {
 public:
  explicit SpawnFileActions(std::string step);
  ~SpawnFileActions();
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;

  void open(int fd, const char* path, int flags);
  void dup2(int from, int to);
  // Closes every descriptor from `lowest` on in the child.
  void close_from(int lowest);
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  void check(int err, const char* what) const;

  std::string step_;
  posix_spawn_file_actions_t actions_;
};

// How a child process ended.
struct ExitStatus {
  bool exited = true;  // false: ended by a signal
  int code = 0;        // exit code when `exited`
  int signal = 0;      // signal number otherwise

  bool success() const { return exited && code == 0; }
  static ExitStatus from_wait_status(int status);
  // "terminou com status 127", "terminou pelo sinal 9 (Killed)".
  std::string describe() const;
};

// What happens to a shell command's standard output and standard error.
enum class ChildOutput {
  dropped,    // sent to the null device
  inherited,  // the program's own
};

// How a command line ended, and what it wrote on its standard error (the
// first kShellErrorBytes of it).
struct ShellResult {
  ExitStatus status;
  std::string errors;
};
inline constexpr std::size_t kShellErrorBytes = std::size_t{64} << 10;

// Runs command lines through the system shell.
class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Runs `command_line` with /bin/sh -c and waits until it ends. Standard input is
  // inherited. A command line that cannot be started raises Failure.
  virtual ExitStatus run_shell(const std::string& command_line, ChildOutput output) = 0;
  // Runs `command_lines` at the same time, each with /bin/sh -c, and waits
  // until all have ended: standard input inherited, standard output dropped,
  // standard error read. A command line that cannot be started raises
  // Failure once the ones started before it have ended.
  virtual std::vector<ShellResult> run_shells(const std::vector<std::string>& command_lines) = 0;
};

// The real runner: posix_spawn of /bin/sh. Descriptors above standard error are
// not passed on to the command.
class ShellRunner : public CommandRunner {
 public:
  ShellRunner() = default;
  // Another shell; only tests use this, to make a start fail.
  explicit ShellRunner(std::string shell) : shell_(std::move(shell)) {}

  ExitStatus run_shell(const std::string& command_line, ChildOutput output) override;
  std::vector<ShellResult> run_shells(const std::vector<std::string>& command_lines) override;

 private:
  pid_t spawn(const std::string& command_line, const SpawnFileActions& actions) const;

  std::string shell_ = "/bin/sh";
};

// Takes an exclusive flock on the directory `dir` itself, without waiting, so
// that no file appears in it for the lock. Returns the descriptor that holds the
// lock until it is closed; an empty Fd when `dir` does not exist (there is
// nothing to guard); nothing when another process holds the lock. Other errors
// raise Failure.
std::optional<Fd> try_lock_directory(const std::string& dir);

// Keeps every file the process and its children create from now on private to
// their owner: adds 077 to the file-mode creation mask, whatever it was.
void restrict_new_files();

// read(2), resumed when a signal interrupts it: the number of bytes read into
// `into`, at most `room` (0 at the end of the file), or -1 with errno set.
ssize_t read_resuming(int fd, char* into, std::size_t room);

// Waits for `pid`, retrying on EINTR.
ExitStatus wait_for_child(int pid);

// The wall clock (CLOCK_REALTIME) that dates a run's values; the shipped binary
// reads the system's, tests give their own.
using WallClock = std::function<std::chrono::system_clock::time_point()>;
std::chrono::system_clock::time_point real_time();

// A pause of the run; the shipped binary sleeps, tests record or skip it.
using Pause = std::function<void(std::chrono::milliseconds)>;
void sleep_pause(std::chrono::milliseconds duration);

}  // namespace quillet
