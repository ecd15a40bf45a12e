// quillet_peak_run OUT COMMAND [ARG...]: runs COMMAND and writes to OUT what
// it cost itself, without its children: its peak resident size (VmHWM of its
// own memory, read as it exits: a figure from wait4 would be the greatest of
// the process and every child it waited for), its own CPU time, the moment it
// ended (CLOCK_REALTIME, ns) and its exit status; and the CPU time of it and
// all the children it waited for. Ends with COMMAND's status.
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

long vm_hwm_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long kib = -1;
  while (in >> key) {
    if (key == "VmHWM:") {
      in >> kib;
      break;
    }
  }
  return kib;
}

// utime + stime of the process alone, in seconds.
double own_cpu(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The fields after the command name, which may hold spaces, in parentheses.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long long realtime_ns() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: quillet_peak_run OUT COMMAND [ARG...]\n");
    return 2;
  }
  const pid_t pid = ::fork();
  if (pid < 0) return 125;
  if (pid == 0) {
    ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    ::execvp(argv[2], argv + 2);
    std::fprintf(stderr, "quillet_peak_run: %s: %s\n", argv[2], std::strerror(errno));
    ::_exit(127);
  }
  long peak = -1;
  double cpu = -1;
  long long ended = 0;
  bool started = false;
  int status = 0;
  rusage usage{};
  for (;;) {
    if (::wait4(pid, &status, 0, &usage) < 0) {
      if (errno == EINTR) continue;
      return 125;
    }
    if (!WIFSTOPPED(status)) break;
    int deliver = WSTOPSIG(status);
    if (!started && deliver == SIGTRAP) {
      // Stopped after its exec: from now on, stop it once more as it exits;
      // a later exec (a script that execs its program) stops it too, instead
      // of the SIGTRAP that would kill it.
      started = true;
      ::ptrace(PTRACE_SETOPTIONS, pid, nullptr,
               PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL);
      deliver = 0;
    } else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXEC << 8))) {
      deliver = 0;
    } else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      ended = realtime_ns();
      peak = vm_hwm_kib(pid);
      cpu = own_cpu(pid);
      deliver = 0;
    }
    ::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver)));
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const double tree = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::ofstream out(argv[1]);
  out << "peak_kib " << peak << "\ncpu_s " << cpu << "\nexit_ns " << ended << "\nstatus " << code
      << "\ntree_cpu_s " << tree << "\n";
  return code;
}
