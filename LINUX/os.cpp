#include "os.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>

#include "quillet.h"

extern char** environ;

namespace quillet {

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool FdStreamBuf::write_out() {
  const char* data = pbase();
  std::size_t left = static_cast<std::size_t>(pptr() - pbase());
  while (left > 0 && error_ == 0) {
    ssize_t n = ::write(fd_, data, left);
    if (n < 0) {
      if (errno != EINTR) error_ = errno;
      continue;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  setp(buffer_, buffer_ + sizeof buffer_);
  return error_ == 0;
}

FdStreamBuf::int_type FdStreamBuf::overflow(int_type c) {
  if (!write_out()) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

int FdStreamBuf::sync() {
  return write_out() ? 0 : -1;
}

ExitStatus ExitStatus::from_wait_status(int status) {
  ExitStatus result;
  if (WIFEXITED(status)) {
    result.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exited = false;
    result.signal = WTERMSIG(status);
  }
  return result;
}

std::string ExitStatus::describe() const {
  if (exited) return "terminou com status " + std::to_string(code);
  const char* name = ::strsignal(signal);
  return "terminou pelo sinal " + std::to_string(signal) + " (" + (name ? name : "?") + ")";
}

ExitStatus wait_for_child(int pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      throw system_failure("espera de processo filho", "waitpid do processo " + std::to_string(pid),
                           errno);
    }
  }
  return ExitStatus::from_wait_status(status);
}

namespace {

constexpr std::string_view kRunStep = "execução de comando";

// posix_spawn file actions that are destroyed on every way out.
class SpawnActions {
 public:
  SpawnActions() {
    int err = ::posix_spawn_file_actions_init(&actions_);
    if (err != 0) throw system_failure(std::string(kRunStep), "posix_spawn_file_actions_init", err);
  }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

  // Records one action; `err` is what the posix_spawn_file_actions_* call returned.
  static void check(int err, const char* what) {
    if (err != 0) throw system_failure(std::string(kRunStep), what, err);
  }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

ExitStatus ShellRunner::run_shell(const std::string& command_line, ChildOutput output) {
  SpawnActions actions;
  if (output == ChildOutput::dropped) {
    // The null device never fills up, so a talkative command cannot block on it.
    SpawnActions::check(
        ::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0),
        "posix_spawn_file_actions_addopen /dev/null");
    SpawnActions::check(
        ::posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO),
        "posix_spawn_file_actions_adddup2");
  }
  SpawnActions::check(::posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1),
                      "posix_spawn_file_actions_addclosefrom_np");

  std::string arg0 = "sh", arg1 = "-c", arg2 = command_line;
  char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
  pid_t pid = 0;
  int err = ::posix_spawn(&pid, shell_.c_str(), actions.get(), nullptr, argv, environ);
  if (err != 0) {
    throw system_failure(std::string(kRunStep),
                         "não foi possível iniciar " + shell_ + " para '" + command_line + "'",
                         err);
  }
  return wait_for_child(pid);
}

std::optional<Fd> try_lock_directory(const std::string& dir) {
  const std::string step = "bloqueio do diretório de trabalho";
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) return Fd();
    throw system_failure(step, "não foi possível abrir " + dir, errno);
  }
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return std::nullopt;
    if (errno != EINTR) throw system_failure(step, "não foi possível bloquear " + dir, errno);
  }
  return fd;
}

void sleep_pause(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

}  // namespace quillet
