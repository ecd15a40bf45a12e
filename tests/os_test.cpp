#include "os.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "failure_of.h"
#include "fake_tools.h"
#include "scratch.h"

namespace quillet {
namespace {

using testing::failure_of;
using testing::read_file;
using testing::RedirectedFd;
using testing::ScratchDir;

TEST(ExitStatus, DescribesCodeOrSignal) {
  struct Row {
    int wait_status;
    bool exited;
    int code, signal;
    std::string description;
  };
  const Row rows[] = {
      {0, true, 0, 0, "terminou com status 0"},
      {127 << 8, true, 127, 0, "terminou com status 127"},
      {255 << 8, true, 255, 0, "terminou com status 255"},
      {SIGKILL, false, 0, 9, "terminou pelo sinal 9 (Killed)"},
      {SIGTERM, false, 0, 15, "terminou pelo sinal 15 (Terminated)"},
  };
  for (const auto& row : rows) {
    ExitStatus status = ExitStatus::from_wait_status(row.wait_status);
    EXPECT_EQ(status.exited, row.exited) << row.description;
    EXPECT_EQ(status.code, row.code) << row.description;
    EXPECT_EQ(status.signal, row.signal) << row.description;
    EXPECT_EQ(status.success(), row.wait_status == 0) << row.description;
    EXPECT_EQ(status.describe(), row.description);
  }
}

TEST(ShellRunner, ReportsHowTheCommandLineEnded) {
  struct Row {
    std::string command_line;
    std::string description;
  };
  const Row rows[] = {
      {"true", "terminou com status 0"},
      {"exit 3", "terminou com status 3"},
      {"false; exit 255", "terminou com status 255"},
      {"no-such-command-in-quillet-tests", "terminou com status 127"},
      {"kill -KILL $$", "terminou pelo sinal 9 (Killed)"},
      {"kill -TERM $$", "terminou pelo sinal 15 (Terminated)"},
  };
  ShellRunner runner;
  for (const auto& row : rows) {
    EXPECT_EQ(runner.run_shell(row.command_line, ChildOutput::dropped).describe(), row.description)
        << row.command_line;
  }
}

// Dropped output is gone, and far more than any pipe buffer on both streams
// never blocks the command; inherited output reaches the program's streams.
TEST(ShellRunner, OutputIsDroppedOrInherited) {
  struct Row {
    ChildOutput output;
    std::string command_line, out, err;
  };
  const Row rows[] = {
      {ChildOutput::dropped, "head -c 8000000 /dev/zero && head -c 8000000 /dev/zero >&2", "", ""},
      {ChildOutput::inherited, "echo to-out; echo to-err >&2", "to-out\n", "to-err\n"},
  };
  for (const auto& row : rows) {
    ScratchDir dir;
    ExitStatus status;
    {
      RedirectedFd out(STDOUT_FILENO, dir.path() / "out");
      RedirectedFd err(STDERR_FILENO, dir.path() / "err");
      status = ShellRunner().run_shell(row.command_line, row.output);
    }
    EXPECT_TRUE(status.success()) << status.describe();
    EXPECT_EQ(read_file(dir.path() / "out"), row.out) << row.command_line;
    EXPECT_EQ(read_file(dir.path() / "err"), row.err) << row.command_line;
  }
}

TEST(ShellRunner, StandardInputIsInheritedInBothModes) {
  ScratchDir dir;
  auto input = dir.write("input", "hello\n");
  for (ChildOutput mode : {ChildOutput::dropped, ChildOutput::inherited}) {
    ExitStatus status;
    {
      RedirectedFd in(STDIN_FILENO, input);
      status = ShellRunner().run_shell("read line && [ \"$line\" = hello ]", mode);
    }
    EXPECT_TRUE(status.success()) << status.describe();
  }
}

TEST(ShellRunner, OtherDescriptorsAreNotPassedOn) {
  ScratchDir dir;
  Fd open_file(::open(dir.write("f", "x").c_str(), O_RDONLY));  // no O_CLOEXEC on purpose
  ASSERT_TRUE(open_file);
  const std::string check = "[ -e /proc/self/fd/" + std::to_string(open_file.get()) + " ]";
  EXPECT_EQ(ShellRunner().run_shell(check, ChildOutput::inherited).describe(),
            "terminou com status 1");
  EXPECT_EQ(ShellRunner().run_shell("[ -e /proc/self/fd/2 ]", ChildOutput::dropped).describe(),
            "terminou com status 0");
}

volatile sig_atomic_t alarms = 0;

TEST(Interrupts, WaitsAndReadsResume) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  const Fd read_end(ends[0]), write_end(ends[1]);
  struct sigaction action {
  }, previous{};
  action.sa_handler = [](int) { alarms = alarms + 1; };
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: waitpid and read fail with EINTR
  ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);
  alarms = 0;
  itimerval every_5ms{{0, 5000}, {0, 5000}}, off{};
  ::setitimer(ITIMER_REAL, &every_5ms, nullptr);

  const ExitStatus status = ShellRunner().run_shell("sleep 0.2; exit 7", ChildOutput::dropped);
  const int alarms_in_wait = alarms;
  std::thread writer([&] {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    ::pthread_sigmask(SIG_BLOCK, &alarm, nullptr);  // the alarms go to the reader
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(::write(write_end.get(), "x", 1), 1);
  });
  char byte = 0;
  const ssize_t got = read_resuming(read_end.get(), &byte, 1);
  writer.join();

  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::sigaction(SIGALRM, &previous, nullptr);
  EXPECT_GT(alarms_in_wait, 0);
  EXPECT_GT(alarms, alarms_in_wait);
  EXPECT_EQ(status.describe(), "terminou com status 7");
  EXPECT_EQ(got, 1);
  EXPECT_EQ(byte, 'x');
}

TEST(ShellRunner, AShellThatCannotStartIsAFailure) {
  ScratchDir dir;
  auto not_executable = dir.write("sh", "#!/bin/sh\n");
  struct Row {
    std::string shell;
    std::string message;
  };
  const Row rows[] = {
      {"/nonexistent/sh",
       "não foi possível iniciar /nonexistent/sh para 'echo a b': No such file or directory"},
      {not_executable.string(), "não foi possível iniciar " + not_executable.string() +
                                    " para 'echo a b': Permission denied"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(failure_of<Failure>(
                  [&] { ShellRunner(row.shell).run_shell("echo a b", ChildOutput::inherited); }),
              "erro do sistema / execução de comando / " + row.message);
  }
}

// A run started with signals blocked must not hand that mask on: `timeout`
// could not stop a command that blocks SIGTERM, and the capture would hang.
// bash keeps the mask it was started with (dash clears it), so it shows
// what the runner passes on.
TEST(ShellRunner, CommandsStartWithNoBlockedSignal) {
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGHUP);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
  ShellRunner bash("/bin/bash");
  const ExitStatus mask =
      bash.run_shell("grep -q '^SigBlk:[[:space:]]*0*$' /proc/$$/status", ChildOutput::dropped);
  const auto started = std::chrono::steady_clock::now();
  const ExitStatus stopped = bash.run_shell("timeout 0.2 sleep 10", ChildOutput::dropped);
  const auto took = std::chrono::steady_clock::now() - started;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  EXPECT_EQ(mask.describe(), "terminou com status 0");
  EXPECT_EQ(stopped.describe(), "terminou com status 124");
  EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(WaitForChild, NoSuchChildIsAFailure) {
  const int pid = ::getpid();
  EXPECT_EQ(failure_of<Failure>([&] { wait_for_child(pid); }),
            "erro do sistema / espera de processo filho / waitpid do processo " +
                std::to_string(pid) + ": No child processes");
}

}  // namespace
}  // namespace quillet
