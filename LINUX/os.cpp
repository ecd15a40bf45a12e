#include "os.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>

#include "failure.h"

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

ssize_t read_resuming(int fd, char* into, std::size_t room) {
  while (true) {
    const ssize_t n = ::read(fd, into, room);
    if (n >= 0 || errno != EINTR) return n;
  }
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

SpawnFileActions::SpawnFileActions(std::string step) : step_(std::move(step)) {
  check(::posix_spawn_file_actions_init(&actions_), "posix_spawn_file_actions_init");
}

SpawnFileActions::~SpawnFileActions() {
  ::posix_spawn_file_actions_destroy(&actions_);
}

void SpawnFileActions::check(int err, const char* what) const {
  if (err != 0) throw system_failure(step_, what, err);
}

void SpawnFileActions::open(int fd, const char* path, int flags) {
  check(::posix_spawn_file_actions_addopen(&actions_, fd, path, flags, 0),
        "posix_spawn_file_actions_addopen");
}

void SpawnFileActions::dup2(int from, int to) {
  check(::posix_spawn_file_actions_adddup2(&actions_, from, to),
        "posix_spawn_file_actions_adddup2");
}

void SpawnFileActions::close_from(int lowest) {
  check(::posix_spawn_file_actions_addclosefrom_np(&actions_, lowest),
        "posix_spawn_file_actions_addclosefrom_np");
}

namespace {

constexpr std::string_view kRunStep = "execução de comando";

// posix_spawn attributes that are destroyed on every way out. The command
// starts with no blocked signal: a mask inherited from whoever started the run
// would reach tcpdump, and a blocked SIGTERM there lets `timeout` stop nothing,
// so the capture would never end.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    int err = ::posix_spawnattr_init(&attr_);
    if (err != 0) throw system_failure(std::string(kRunStep), "posix_spawnattr_init", err);
    sigset_t none;
    sigemptyset(&none);
    err = ::posix_spawnattr_setsigmask(&attr_, &none);
    if (err == 0) err = ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK);
    if (err != 0) {
      ::posix_spawnattr_destroy(&attr_);
      throw system_failure(std::string(kRunStep), "posix_spawnattr_setsigmask", err);
    }
  }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attr_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  const posix_spawnattr_t* get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

}  // namespace

pid_t ShellRunner::spawn(const std::string& command_line, const SpawnFileActions& actions) const {
  std::string arg0 = "sh", arg1 = "-c", arg2 = command_line;
  char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
  SpawnAttributes attributes;
  pid_t pid = 0;
  int err = ::posix_spawn(&pid, shell_.c_str(), actions.get(), attributes.get(), argv, environ);
  if (err != 0) {
    throw system_failure(std::string(kRunStep),
                         "não foi possível iniciar " + shell_ + " para '" + command_line + "'",
                         err);
  }
  return pid;
}

ExitStatus ShellRunner::run_shell(const std::string& command_line, ChildOutput output) {
  SpawnFileActions actions{std::string(kRunStep)};
  if (output == ChildOutput::dropped) {
    // The null device never fills up, so a talkative command cannot block on it.
    actions.open(STDOUT_FILENO, "/dev/null", O_WRONLY);
    actions.dup2(STDOUT_FILENO, STDERR_FILENO);
  }
  actions.close_from(STDERR_FILENO + 1);
  return wait_for_child(spawn(command_line, actions));
}

std::vector<ShellResult> ShellRunner::run_shells(const std::vector<std::string>& command_lines) {
  struct Running {
    pid_t pid;
    Fd errors;
    std::string text;
  };
  std::vector<Running> running;
  std::optional<Failure> failed;
  for (const std::string& line : command_lines) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
      failed = system_failure(std::string(kRunStep), "pipe para '" + line + "'", errno);
      break;
    }
    Fd read_end(ends[0]), write_end(ends[1]);
    try {
      SpawnFileActions actions{std::string(kRunStep)};
      actions.open(STDOUT_FILENO, "/dev/null", O_WRONLY);
      actions.dup2(write_end.get(), STDERR_FILENO);
      actions.close_from(STDERR_FILENO + 1);
      running.push_back({spawn(line, actions), std::move(read_end), {}});
    } catch (const Failure& e) {
      failed = e;
      break;
    }
  }
  // Each one's standard error until it closes: what does not fit is read and dropped.
  std::vector<pollfd> open(running.size());
  for (std::size_t left = running.size(); left > 0;) {
    for (std::size_t i = 0; i < running.size(); ++i)
      open[i] = {running[i].errors ? running[i].errors.get() : -1, POLLIN, 0};
    if (::poll(open.data(), open.size(), -1) < 0) {
      if (errno == EINTR) continue;
      for (Running& r : running)
        r.errors.reset();  // a writer then fails instead of waiting for a reader
      break;
    }
    for (std::size_t i = 0; i < running.size(); ++i) {
      if (open[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read_resuming(running[i].errors.get(), buffer, sizeof buffer);
      if (n <= 0) {
        running[i].errors.reset();
        --left;
        continue;
      }
      std::string& text = running[i].text;
      text.append(buffer, std::min(static_cast<std::size_t>(n), kShellErrorBytes - text.size()));
    }
  }
  std::vector<ShellResult> results;
  for (Running& r : running)
    results.push_back({wait_for_child(r.pid), std::move(r.text)});
  if (failed) throw *failed;
  return results;
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

void restrict_new_files() {
  const mode_t mask = ::umask(077);
  ::umask(mask | 077);
}

std::chrono::system_clock::time_point real_time() {
  return std::chrono::system_clock::now();
}

void sleep_pause(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

}  // namespace quillet
