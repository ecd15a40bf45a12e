// A program started without a shell and contained: an unprivileged user of its
// own, no capability, no way back to privilege, namespaces of its own, bounds.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "os.h"

namespace quillet {

// Who a contained program runs as and what it may use. The shipped binary
// always uses these values; tests shorten the deadline or name another user.
//
// dnstop took 7.1 to 27 s and 348 to 560 MB for captures of 1 M distinct
// clients here: the deadline leaves twice the slowest, and a program that
// never ends costs a minute at most; the processor limit is the kernel's
// backstop for the same minute. The address space leaves more than three
// times the largest. dnstop's report keeps 50 rows a table (18 KB for those
// captures): the output bound leaves thousands of times that and still cuts
// a runaway writer short.
struct Containment {
  std::string user = "_quillet";
  std::chrono::milliseconds deadline{60'000};
  rlim_t cpu_seconds = 60;
  rlim_t address_space = rlim_t{2} << 30;
  rlim_t file_size = rlim_t{256} << 20;
  // Counted over every process of `user`: its own uid keeps strangers out.
  rlim_t processes = 16;
  // Standard error relayed to the program's own; the rest is dropped.
  std::size_t stderr_bytes = std::size_t{64} << 10;
};

// What to run: `program` is looked up on PATH before any right is dropped;
// `input` is read here and fed to its standard input through a pipe the
// program may reopen (as /dev/stdin), and each of `more_inputs` the same way
// to its descriptors 3, 4, ...; `output` is created here, 0600, as its
// standard output.
struct ContainedCommand {
  std::string program;
  std::vector<std::string> args;
  std::string input;
  std::string output;
  std::vector<std::string> more_inputs{};

  std::vector<std::string> inputs() const;
};

struct ContainedResult {
  ExitStatus status;
  // Set when the program did not start or a bound ended it; it then says what
  // happened instead of the status ("excedeu o prazo de 60 s e foi encerrado").
  std::string cause;
  // What could not be contained for lack of a capability, one text for the
  // console; empty when everything was.
  std::string partial;

  bool success() const { return cause.empty() && status.success(); }
  // "terminou com status 3", or the cause.
  std::string describe() const;
};

// Runs one contained program and waits for it, within its deadline.
class ContainedRunner {
 public:
  virtual ~ContainedRunner() = default;
  virtual ContainedResult run(const ContainedCommand& command, const Containment& bounds) = 0;
};

// The real one. With CAP_SYS_ADMIN the program gets network, PID and mount
// namespaces (every mount read-only and nosuid, a /proc and /sys of their
// own) under a small init that reports its end; with CAP_SETUID and
// CAP_SETGID it runs as `user` with no supplementary group; with CAP_SETPCAP
// its bounding set is emptied. Whatever quillet lacks is said in `partial`.
// Always: no capability, no_new_privs, the limits, the deadline, a clean
// environment (PATH=/usr/bin:/bin).
class Container : public ContainedRunner {
 public:
  ContainedResult run(const ContainedCommand& command, const Containment& bounds) override;
};

}  // namespace quillet
