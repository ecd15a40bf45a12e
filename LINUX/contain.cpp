#include "contain.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/keyctl.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>
#include <tuple>

namespace quillet {

namespace {

using Clock = std::chrono::steady_clock;

// Where the package puts the definition of the user; systemd-sysusers reads it.
constexpr std::string_view kSysusersFile = "/usr/lib/sysusers.d/quillet.conf";

// The devices a file parser may need, bound from the host's /dev into an
// otherwise empty one; no terminal among them.
constexpr const char* kDevices[] = {"null", "zero", "urandom"};
// Where other programs keep their sockets, shared memory and state: an empty,
// read-only directory inside.
constexpr const char* kEmptied[] = {"/run", "/tmp", "/var"};

std::string with_errno(const std::string& what, int err) {
  return what + ": " + std::strerror(err);
}

std::uint64_t effective_capabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return 0;
  return std::uint64_t{data[0].effective} | (std::uint64_t{data[1].effective} << 32);
}

bool has(std::uint64_t capabilities, int cap) {
  return ((capabilities >> cap) & 1u) != 0;
}

// The first executable regular file called `program` in an absolute PATH
// entry (the program starts in /, where a relative one means nothing).
std::optional<std::string> find_on_path(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* env = ::getenv("PATH");
  std::string_view path = env ? env : "/usr/bin:/bin";
  while (!path.empty()) {
    const std::size_t colon = std::min(path.find(':'), path.size());
    const std::string_view dir = path.substr(0, colon);
    path.remove_prefix(std::min(colon + 1, path.size()));
    if (!dir.starts_with('/')) continue;
    std::string candidate = std::string(dir) + "/" + program;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return std::nullopt;
}

std::optional<std::pair<uid_t, gid_t>> find_user(const std::string& name) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return std::nullopt;
  return std::pair{found->pw_uid, found->pw_gid};
}

struct Pipe {
  Fd read, write;
};

// A pipe whose ends close on exec; empty ends when it cannot be had.
Pipe make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  return {Fd(fds[0]), Fd(fds[1])};
}

// A pipe whose inode belongs to `uid`: it takes the creator's filesystem ids,
// which CAP_SETUID and CAP_SETGID may set (no CAP_CHOWN needed).
Pipe make_pipe_of(uid_t uid, gid_t gid) {
  const int saved_gid = ::setfsgid(gid);
  const int saved_uid = ::setfsuid(uid);
  Pipe pipe = make_pipe();
  const int err = errno;
  ::setfsuid(static_cast<uid_t>(saved_uid));
  ::setfsgid(static_cast<gid_t>(saved_gid));
  struct stat st {};
  if (pipe.read && (::fstat(pipe.read.get(), &st) != 0 || st.st_uid != uid)) return {};
  errno = err;
  return pipe;
}

bool set_nonblocking(const Fd& fd) {
  const int flags = ::fcntl(fd.get(), F_GETFL);
  return flags >= 0 && ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) == 0;
}

// A file fed to the program through a pipe, a piece at a time.
struct Feed {
  std::string path;
  Fd file;
  Pipe pipe;
  std::string piece;
  std::size_t fed = 0;

  // Writes what the pipe takes now; at the end of the file, or once the
  // program stopped reading (its own affair), closes the pipe. False, with
  // errno, when the file cannot be read.
  bool write_some() {
    if (fed == piece.size()) {
      piece.resize(65536);
      const ssize_t n = read_resuming(file.get(), piece.data(), piece.size());
      if (n < 0) return false;
      piece.resize(static_cast<std::size_t>(n));
      fed = 0;
    }
    if (piece.empty()) {
      pipe.write.reset();  // the end of the capture
      return true;
    }
    const ssize_t n = ::write(pipe.write.get(), piece.data() + fed, piece.size() - fed);
    if (n > 0) {
      fed += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      pipe.write.reset();
    }
    return true;
  }
};

// Writes into a pipe whose reader left must fail with EPIPE, not end the run.
class IgnoredSigpipe {
 public:
  IgnoredSigpipe() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &saved_);
  }
  ~IgnoredSigpipe() { ::sigaction(SIGPIPE, &saved_, nullptr); }
  IgnoredSigpipe(const IgnoredSigpipe&) = delete;
  IgnoredSigpipe& operator=(const IgnoredSigpipe&) = delete;

 private:
  struct sigaction saved_ {};
};

// The system calls the program may not make: no socket of any family (a Unix
// socket in the file system is a way out that no namespace closes), no
// io_uring, which can make sockets too, and no kernel keys: a program left
// with quillet's own user (no CAP_SETUID) reaches that user's keyring
// whatever its session keyring, and no namespace hides keys. Built before the
// clone, loaded last.
class SocketFilter {
 public:
  SocketFilter() : ctx_(::seccomp_init(SCMP_ACT_ALLOW)) {
    for (const int call : {SCMP_SYS(socket), SCMP_SYS(socketpair), SCMP_SYS(io_uring_setup),
                           SCMP_SYS(add_key), SCMP_SYS(keyctl), SCMP_SYS(request_key)}) {
      if (ctx_ != nullptr && ::seccomp_rule_add(ctx_, SCMP_ACT_ERRNO(EPERM), call, 0) != 0) {
        ::seccomp_release(ctx_);
        ctx_ = nullptr;
      }
    }
  }
  ~SocketFilter() {
    if (ctx_ != nullptr) ::seccomp_release(ctx_);
  }
  SocketFilter(const SocketFilter&) = delete;
  SocketFilter& operator=(const SocketFilter&) = delete;
  scmp_filter_ctx get() const { return ctx_; }

 private:
  scmp_filter_ctx ctx_;
};

// Everything the two child processes need, prepared before the clone: after
// it they only make system calls and report failures through `report`.
struct Launch {
  explicit Launch(const Containment& b) : bounds(b) {}
  const Containment& bounds;
  bool namespaces = false;
  bool switch_user = false;
  bool empty_bounding = false;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string path;
  std::vector<char*> argv;
  std::vector<char*> envp;
  std::vector<int> in;     // the program's 0, then 3, 4, ...
  int out = -1, err = -1;  // its 1 and 2
  int report = -1;         // "E <why>" or "S <wait status>" lines to quillet
  scmp_filter_ctx filter = nullptr;
};

void write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

[[noreturn]] void fail_child(const Launch& l, const std::string& what, int err) {
  write_all(l.report, "E " + with_errno(what, err) + "\n");
  ::_exit(127);
}

void limit(const Launch& l, int resource, const char* name, rlim_t soft, rlim_t hard) {
  rlimit current{};
  if (::getrlimit(resource, &current) != 0) fail_child(l, std::string("getrlimit ") + name, errno);
  // Without CAP_SYS_RESOURCE a hard limit can only go down.
  const rlimit wanted{std::min(soft, current.rlim_max), std::min(hard, current.rlim_max)};
  if (::setrlimit(resource, &wanted) != 0) fail_child(l, std::string("setrlimit ") + name, errno);
}

// The program itself: its descriptors, then the rights dropped in the order
// each step still has what it needs, the limits last, then the program.
[[noreturn]] void worker_main(const Launch& l, pid_t init) {
  // Each descriptor to its number: first out of the way of all the numbers.
  std::vector<std::pair<int, int>> fds = {{l.in[0], 0}, {l.out, 1}, {l.err, 2}};
  for (std::size_t i = 1; i < l.in.size(); ++i)
    fds.emplace_back(l.in[i], static_cast<int>(i) + 2);
  for (auto& [fd, number] : fds) {
    fd = ::fcntl(fd, F_DUPFD_CLOEXEC, static_cast<int>(fds.size()) + 8);
    if (fd < 0) fail_child(l, "fcntl F_DUPFD", errno);
  }
  for (const auto& [fd, number] : fds) {
    if (::dup2(fd, number) < 0) fail_child(l, "dup2", errno);
  }
  if (::close_range(static_cast<unsigned>(fds.size()), ~0U, CLOSE_RANGE_CLOEXEC) != 0)
    fail_child(l, "close_range", errno);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  if (::chdir("/") != 0) fail_child(l, "chdir /", errno);

  // A session keyring of its own, empty: the invoking shell's (an admin's
  // PSK added with keyctl, say) is not the program's to possess. Joined
  // before the change of user, against quillet's key quota, not the user's.
  // Without keys in the kernel, or with keyctl refused by the system's own
  // filter, there is none to reach.
  if (::syscall(SYS_keyctl, KEYCTL_JOIN_SESSION_KEYRING, static_cast<const char*>(nullptr)) < 0 &&
      errno != ENOSYS && errno != EPERM)
    fail_child(l, "keyctl KEYCTL_JOIN_SESSION_KEYRING", errno);

  if (l.switch_user) {
    if (::setgroups(0, nullptr) != 0) fail_child(l, "setgroups", errno);
    if (::setresgid(l.gid, l.gid, l.gid) != 0) fail_child(l, "setresgid", errno);
  }
  if (l.empty_bounding) {
    for (int cap = 0; ::prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap) {
      if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) fail_child(l, "PR_CAPBSET_DROP", errno);
    }
  }
  if (l.switch_user && ::setresuid(l.uid, l.uid, l.uid) != 0) fail_child(l, "setresuid", errno);
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capset, &header, data) != 0) fail_child(l, "capset", errno);
  if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0)
    fail_child(l, "PR_CAP_AMBIENT_CLEAR_ALL", errno);
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail_child(l, "PR_SET_NO_NEW_PRIVS", errno);
  // Set after the change of user, which clears it; an init that ended before
  // has left this process to another parent.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0) fail_child(l, "PR_SET_PDEATHSIG", errno);
  if (::getppid() != init) ::_exit(127);

  // libseccomp allocates while it loads: before the address-space limit,
  // which a process may already exceed (a sanitizer's shadow memory does).
  if (const int rc = ::seccomp_load(l.filter); rc != 0) fail_child(l, "seccomp_load", -rc);

  const Containment& b = l.bounds;
  limit(l, RLIMIT_CORE, "RLIMIT_CORE", 0, 0);
  // SIGXCPU at the limit, SIGKILL a second later if it is caught.
  limit(l, RLIMIT_CPU, "RLIMIT_CPU", b.cpu_seconds, b.cpu_seconds + 1);
  limit(l, RLIMIT_AS, "RLIMIT_AS", b.address_space, b.address_space);
  limit(l, RLIMIT_FSIZE, "RLIMIT_FSIZE", b.file_size, b.file_size);
  limit(l, RLIMIT_NPROC, "RLIMIT_NPROC", b.processes, b.processes);
  ::execve(l.path.c_str(), l.argv.data(), l.envp.data());
  fail_child(l, "execve " + l.path, errno);
}

// The mounts of the program's namespace: everything read-only and nosuid, a
// /proc and /sys of its own, a /dev of a few devices and the standard streams,
// and nothing of other programs' sockets, shared memory or state.
void make_mounts(const Launch& l) {
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    fail_child(l, "mount --make-rprivate /", errno);
  mount_attr attr{};
  attr.attr_set = MOUNT_ATTR_RDONLY | MOUNT_ATTR_NOSUID;
  if (::mount_setattr(AT_FDCWD, "/", AT_RECURSIVE, &attr, sizeof attr) != 0)
    fail_child(l, "mount_setattr / ro,nosuid", errno);
  constexpr unsigned long kOwn = MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC;
  if (::mount("proc", "/proc", "proc", kOwn, nullptr) != 0) fail_child(l, "mount /proc", errno);
  if (::mount("sysfs", "/sys", "sysfs", kOwn, nullptr) != 0) fail_child(l, "mount /sys", errno);

  // Copies of the host's nodes, taken before its /dev is covered.
  std::vector<Fd> devices;
  for (const char* name : kDevices) {
    const std::string path = std::string("/dev/") + name;
    devices.emplace_back(::open_tree(AT_FDCWD, path.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC));
    if (!devices.back()) fail_child(l, "open_tree " + path, errno);
  }
  if (::mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "size=16k,mode=755") != 0)
    fail_child(l, "mount /dev", errno);
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const std::string path = std::string("/dev/") + kDevices[i];
    if (!Fd(::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666)))
      fail_child(l, "open " + path, errno);
    if (::move_mount(devices[i].get(), "", AT_FDCWD, path.c_str(), MOVE_MOUNT_F_EMPTY_PATH) != 0)
      fail_child(l, "move_mount " + path, errno);
  }
  for (const auto& [link, target] : {std::pair{"/dev/fd", "/proc/self/fd"},
                                     {"/dev/stdin", "/proc/self/fd/0"},
                                     {"/dev/stdout", "/proc/self/fd/1"},
                                     {"/dev/stderr", "/proc/self/fd/2"}}) {
    if (::symlink(target, link) != 0) fail_child(l, std::string("symlink ") + link, errno);
  }
  mount_attr readonly{};
  readonly.attr_set = MOUNT_ATTR_RDONLY;
  if (::mount_setattr(AT_FDCWD, "/dev", 0, &readonly, sizeof readonly) != 0)
    fail_child(l, "mount_setattr /dev ro", errno);

  for (const char* dir : kEmptied) {
    struct stat st {};
    if (::lstat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    if (::mount("tmpfs", dir, "tmpfs", kOwn, "size=4k,mode=755") != 0)
      fail_child(l, std::string("mount ") + dir, errno);
  }
}

// PID 1 of the program's namespaces (or its plain parent without them): makes
// the mounts, starts the program, waits for it and reports how it ended. When
// it ends, the kernel kills whatever else lives in the PID namespace.
[[noreturn]] void init_main(const Launch& l) {
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0) fail_child(l, "PR_SET_PDEATHSIG", errno);
  // quillet holds the report's other end as long as it lives: with no reader
  // left, it ended before the signal was armed.
  pollfd reader{l.report, POLLOUT, 0};
  if (::poll(&reader, 1, 0) != 1 || (reader.revents & POLLERR) != 0) ::_exit(127);
  // A session of its own: no controlling terminal to read or to type into.
  if (::setsid() < 0) fail_child(l, "setsid", errno);
  if (l.namespaces) make_mounts(l);
  const pid_t self = ::getpid();
  const pid_t worker = ::fork();
  if (worker < 0) fail_child(l, "fork", errno);
  if (worker == 0) worker_main(l, self);
  for (const int fd : l.in)
    ::close(fd);
  ::close(l.out);
  ::close(l.err);
  int status = 0;
  while (true) {
    const pid_t pid = ::waitpid(-1, &status, 0);
    if (pid == worker) break;
    if (pid < 0 && errno != EINTR) fail_child(l, "waitpid", errno);
  }
  write_all(l.report, "S " + std::to_string(status) + "\n");
  ::_exit(0);
}

std::string duration_text(std::chrono::milliseconds d) {
  if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " s";
  return std::to_string(d.count()) + " ms";
}

std::string partial_text(const Launch& l, const std::string& program) {
  std::string missing;
  auto add = [&](const std::string& what) { missing += (missing.empty() ? "" : "; ") + what; };
  if (!l.namespaces)
    add("sem CAP_SYS_ADMIN, sem namespaces próprios de rede, processos e montagens");
  if (!l.switch_user)
    add("sem CAP_SETUID e CAP_SETGID, com o usuário desta execução em vez de " + l.bounds.user);
  if (!l.empty_bounding) add("sem CAP_SETPCAP, sem esvaziar o conjunto limite de capacidades");
  return missing.empty() ? missing : program + " roda isolado só em parte: " + missing + ".";
}

// Reads what is there without waiting; false at the end of the pipe.
bool read_available(int fd, const std::function<void(std::string_view)>& take) {
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      take(std::string_view(buffer, static_cast<std::size_t>(n)));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

}  // namespace

std::vector<std::string> ContainedCommand::inputs() const {
  std::vector<std::string> all{input};
  all.insert(all.end(), more_inputs.begin(), more_inputs.end());
  return all;
}

std::string ContainedResult::describe() const {
  return cause.empty() ? status.describe() : cause;
}

ContainedResult Container::run(const ContainedCommand& command, const Containment& bounds) {
  ContainedResult result;
  const auto not_started = [&](const std::string& why) {
    result.cause = "não foi iniciado: " + why;
    return result;
  };

  Launch l(bounds);
  const std::uint64_t caps = effective_capabilities();
  l.namespaces = has(caps, CAP_SYS_ADMIN);
  l.switch_user = has(caps, CAP_SETUID) && has(caps, CAP_SETGID);
  l.empty_bounding = has(caps, CAP_SETPCAP);
  result.partial = partial_text(l, command.program);

  const std::optional<std::string> path = find_on_path(command.program);
  if (!path) return not_started(command.program + " não está no PATH");
  l.path = *path;
  if (l.switch_user) {
    const auto user = find_user(bounds.user);
    if (!user) {
      return not_started("o usuário " + bounds.user + " não existe (crie-o com systemd-sysusers " +
                         std::string(kSysusersFile) + ")");
    }
    std::tie(l.uid, l.gid) = *user;
  } else {
    // A uid 0 left anywhere would let the program become root again, without
    // a capability but with everything that trusts root's uid.
    uid_t real = 0, effective = 0, saved = 0;
    if (::getresuid(&real, &effective, &saved) != 0 || real == 0 || effective == 0 || saved == 0) {
      result.partial.clear();
      return not_started("sem CAP_SETUID e CAP_SETGID não pode passar ao usuário " + bounds.user +
                         ", e " + command.program + " não roda como root");
    }
  }

  std::vector<Feed> feeds;
  for (const std::string& file : command.inputs()) {
    Feed& feed = feeds.emplace_back();
    feed.path = file;
    feed.file = Fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!feed.file) return not_started(with_errno("não foi possível abrir " + file, errno));
  }
  Fd output(
      ::open(command.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!output) return not_started(with_errno("não foi possível criar " + command.output, errno));
  for (Feed& feed : feeds) {
    // The program reopens its standard input through /proc, which checks the
    // pipe's owner.
    feed.pipe = l.switch_user ? make_pipe_of(l.uid, l.gid) : make_pipe();
    if (!feed.pipe.read) return not_started(with_errno("pipe da entrada", errno));
    if (!set_nonblocking(feed.pipe.write))
      return not_started(with_errno("fcntl O_NONBLOCK", errno));
    l.in.push_back(feed.pipe.read.get());
  }
  Pipe err = make_pipe(), report = make_pipe();
  if (!err.read || !report.read) return not_started(with_errno("pipe", errno));
  if (!set_nonblocking(err.read) || !set_nonblocking(report.read))
    return not_started(with_errno("fcntl O_NONBLOCK", errno));

  std::vector<std::string> words{command.program};
  words.insert(words.end(), command.args.begin(), command.args.end());
  for (std::string& word : words)
    l.argv.push_back(word.data());
  l.argv.push_back(nullptr);
  std::string env_path = "PATH=/usr/bin:/bin";
  l.envp = {env_path.data(), nullptr};
  l.out = output.get();
  l.err = err.write.get();
  l.report = report.write.get();
  const SocketFilter filter;
  if (filter.get() == nullptr) return not_started("seccomp_init: sem filtro de chamadas");
  l.filter = filter.get();

  const IgnoredSigpipe sigpipe;
  const long flags =
      SIGCHLD | (l.namespaces ? CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWIPC : 0);
  // Like fork, with the namespaces: the child starts as PID 1 of its own.
  const long pid = ::syscall(SYS_clone, flags, nullptr, nullptr, nullptr, nullptr);
  if (pid < 0) return not_started(with_errno("clone", errno));
  if (pid == 0) {
    for (const Feed& feed : feeds) {
      ::close(feed.file.get());
      ::close(feed.pipe.write.get());
    }
    ::close(err.read.get());
    ::close(report.read.get());
    init_main(l);
  }
  for (Feed& feed : feeds)
    feed.pipe.read.reset();
  err.write.reset();
  report.write.reset();

  const Clock::time_point deadline = Clock::now() + bounds.deadline;
  std::string reported;
  std::size_t relayed = 0, dropped = 0;
  const auto relay = [&](std::string_view bytes) {
    const std::size_t keep = std::min(bytes.size(), bounds.stderr_bytes - relayed);
    write_all(STDERR_FILENO, std::string(bytes.substr(0, keep)));
    relayed += keep;
    dropped += bytes.size() - keep;
  };
  // Why quillet ended the program itself, when it did.
  std::string ended;
  const auto stop = [&](std::string why) {
    ended = std::move(why);
    // PID 1 takes its namespace along; without one, the process group.
    if (!l.namespaces) ::kill(-static_cast<pid_t>(pid), SIGKILL);
    ::kill(static_cast<pid_t>(pid), SIGKILL);
  };
  std::vector<pollfd> fds(2 + feeds.size());
  bool running = true;
  while (running && ended.empty()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      stop("excedeu o prazo de " + duration_text(bounds.deadline) + " e foi encerrado");
      break;
    }
    fds[0] = {report.read.get(), POLLIN, 0};
    fds[1] = {err.read ? err.read.get() : -1, POLLIN, 0};
    for (std::size_t i = 0; i < feeds.size(); ++i)
      fds[2 + i] = {feeds[i].pipe.write ? feeds[i].pipe.write.get() : -1, POLLOUT, 0};
    if (::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left, 1000))) < 0 &&
        errno != EINTR) {
      stop(with_errno("foi encerrado após uma falha de poll", errno));
      break;
    }
    // A standard error closed for good is left out of the next polls.
    if (fds[1].revents != 0 && !read_available(err.read.get(), relay)) err.read.reset();
    if (fds[0].revents != 0) {
      running = read_available(report.read.get(), [&](std::string_view s) { reported += s; });
    }
    for (std::size_t i = 0; i < feeds.size() && ended.empty(); ++i) {
      if (fds[2 + i].revents != 0 && !feeds[i].write_some()) {
        stop(with_errno("foi encerrado: não foi possível ler " + feeds[i].path, errno));
      }
    }
  }
  for (Feed& feed : feeds)
    feed.pipe.write.reset();
  const ExitStatus init_status = wait_for_child(static_cast<int>(pid));
  if (err.read) read_available(err.read.get(), relay);
  if (dropped > 0) {
    write_all(STDERR_FILENO, "\nquillet: saída de erro de " + command.program + " cortada após " +
                                 std::to_string(relayed) + " bytes; " + std::to_string(dropped) +
                                 " bytes omitidos\n");
  }

  if (!ended.empty()) {
    result.cause = ended;
    return result;
  }
  if (reported.starts_with("E ")) {
    return not_started(reported.substr(2, reported.find('\n') - 2));
  }
  if (!reported.starts_with("S ")) {
    result.cause = "o processo que o isola terminou sem resultado (" + init_status.describe() + ")";
    return result;
  }
  result.status = ExitStatus::from_wait_status(std::stoi(reported.substr(2)));
  // A report at the bound is cut even when the program ignored SIGXFSZ and
  // went on with its writes failing, whatever its status says.
  struct stat st {};
  const bool output_full =
      ::fstat(output.get(), &st) == 0 && static_cast<rlim_t>(st.st_size) >= bounds.file_size;
  if (!result.status.exited && result.status.signal == SIGXCPU) {
    result.cause = "excedeu o limite de " + std::to_string(bounds.cpu_seconds) +
                   " s de processador (" + result.status.describe() + ")";
  } else if (output_full || (!result.status.exited && result.status.signal == SIGXFSZ)) {
    result.cause = "excedeu o limite de " + std::to_string(bounds.file_size >> 20) +
                   " MiB de saída (" + result.status.describe() + ")";
  }
  return result;
}

}  // namespace quillet
