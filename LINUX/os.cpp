#include "os.h"

#include <fcntl.h>
#include <spawn.h>
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

void sleep_pause(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

}  // namespace quillet
